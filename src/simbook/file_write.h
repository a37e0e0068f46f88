// Writing the files simbook keeps (machine files, reports) so that a reader sees either the old
// file or the whole new one, never a part: the text goes into a new file beside the target,
// created under a name nobody else made, flushed to disk, then renamed (or linked) into place,
// and the folder flushed so the new name survives a power cut.
//
// POSIX only: the Wi-Fi service libraries built for Windows never write a file.
#pragma once

#include <string>

namespace simbook {

// Makes a new file beside `path` under a unique name (created exclusively: a name planted there,
// a symbolic link say, is passed over and never written through), writes all of `text` into it,
// flushes it and gives it `mode` (or, for a negative `mode`, 0644 less the umask). Returns its
// open descriptor with its name in `temp`, or -1 with `problem` set and nothing left behind.
int WriteTemporaryBeside(const std::string& path, const std::string& text, int mode,
                         std::string& temp, std::string& problem);

// Flushes the entries of the folder that holds `path`, so that a rename or link made in it
// survives a power cut. A file system that cannot flush a folder leaves it as durable as it can.
void SyncFolderOf(const std::string& path);

// Replaces (or creates) `path` with `text` atomically. A name that is a symbolic link is
// followed: the file it leads to is replaced and the link stays. The new file has `mode`; for a
// negative `mode`, the mode of the file it replaces, else 0644 less the umask. On any failure
// the temporary file is removed, `path` is untouched, and false is returned with `problem` set.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& problem,
                         int mode = -1);

// Creates `path` with `text` atomically, never replacing a file that exists (another process may
// have made it meanwhile): then false with `existed` set. The mode is 0644 less the umask. Any
// other failure: false with `problem` set. Either way no temporary file is left.
bool CreateFileAtomically(const std::string& path, const std::string& text, std::string& problem,
                          bool& existed);

// `fd` moved above standard input, output and error (closing it there), or -1 with errno set.
// Every file simbook opens in a program's process goes through it: a program started with one of
// those closed would otherwise find its console output in the file, or read from it.
int AboveStandard(int fd);

// Whether `a` and `b` both exist and are the same file (device and inode, symbolic links
// followed): two paths, a link and its target, or two hard links of one file.
bool SameFile(const std::string& a, const std::string& b);

} // namespace simbook
