// Faults of the file system, put in the way of the stand-in linked into a test program: the C
// library's linkat, link and open are replaced there by versions that can fail on purpose, and
// fsync by one that records which file it flushed.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace file_system_faults {

// The process is killed the moment a file is about to be linked into place, as a crash or a kill
// signal could kill it between writing a key and linking it. Set in a child process.
extern bool kill_when_linking;

// Unnamed temporary files (O_TMPFILE) are refused, as by a file system that has none.
extern bool refuse_unnamed_files;

// What reached the disk and when: each fsync and each link, in order, with the file it was about
// (a link names the file being linked). Recorded while `record_durability` is set, up to
// kMaxEvents.
struct FileEvent {
  char kind;  // 's' for fsync, 'l' for a link
  dev_t device;
  ino_t inode;
};
constexpr std::size_t kMaxEvents = 16;
extern bool record_durability;
extern FileEvent events[kMaxEvents];
extern std::size_t event_count;

}  // namespace file_system_faults
