// CGainApp: the application object. Sets up the program (Japanese translations, the dialog
// font, message boxes, the sound system) and runs the main window until it closes.
//
// One process-wide instance; Run is called once, on the user-interface thread, inside an existing
// QApplication. The main window is a local object of InitInstance, gone when Run returns.
#pragma once

class CGainApp {
  public:
    // Runs the program inside an existing QApplication; gives the process's exit status.
    int Run(int argc, char** argv);

  private:
    bool InitInstance(int argc, char** argv);
};

// Shows every message of the wave document and the playback engine as a modal warning box with
// one OK button, captioned with the application title. A message from another thread is handed
// to the user-interface thread and shown there; the asking thread does not wait for it, so a
// feeder thread that the window is waiting for can never wait for the window.
void InstallMessageBoxes();
