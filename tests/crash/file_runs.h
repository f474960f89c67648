// The runs the explorer records outside the Applications folder. Each
// writes one file whole into a folder below HOME, beside another program's
// file that must stay as it was, and is judged as that folder is read:
//  - an adoption (the user points Kelvoma at a copy of the tool elsewhere):
//    the program's own settings store (QSettings behind the user defaults)
//    writes the copy's path and the tool's switch into the settings file,
//    the only thing an adoption changes on the disk;
//  - the login item switched on: the autostart entry, written whole.
#pragma once

#include <string>

#include "verdict.h"

namespace kelvoma::crash {

struct FileRun {
  const char* name;      // as the explorer prints it
  const char* folder;    // below HOME
  const char* file;      // what it writes there
  const char* argument;  // the recorded child's
  // Writes the folder as it is before the run (it exists, empty).
  void (*prepare)(const std::string& folder);
  // The recorded child's work in HOME; whether it succeeded.
  bool (*child)(const std::string& home);
  // The folder as it is read: what is left beside the file after a cut
  // that nothing reads is not counted (see file_runs.cpp).
  Listing (*seen)(const Listing&);
};

extern const FileRun adoption_run;
extern const FileRun login_item_run;

}  // namespace kelvoma::crash
