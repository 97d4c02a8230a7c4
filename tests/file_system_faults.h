// Faults of the file system, put in the way of the stand-in linked into a test program: the C
// library's linkat, link and open are replaced there by versions that can fail on purpose.
#pragma once

namespace file_system_faults {

// The process is killed the moment a file is about to be linked into place, as a crash or a kill
// signal could kill it between writing a key and linking it. Set in a child process.
extern bool kill_when_linking;

// Unnamed temporary files (O_TMPFILE) are refused, as by a file system that has none.
extern bool refuse_unnamed_files;

}  // namespace file_system_faults
