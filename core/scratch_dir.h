// The private directory of one run's scratch files.
//
// Every run that writes scratch files (eigenvectors of the blocks, torsional
// integrals of the sets) keeps them in a directory of its own, made with
// mkdtemp(3) in the working directory as "ruvo-scratch.XXXXXX" (mode 0700).
// The working directory, not $TMPDIR: the files are as large as they have
// always been (hundreds of MB with three tops, where /tmp is often memory),
// they stay on the disk the user chose for the run, and files to be kept
// reach the working directory by rename(2) on the same file system.  Two runs
// in one directory therefore never share a file, and a file of another
// molecule or a link named like a scratch file is never read, written or
// removed.
//
// A file is written under its name plus ".part", created with
// O_CREAT|O_EXCL|O_NOFOLLOW, and gets its name only when it was written
// completely (commit); an earlier version is removed first.  So a file that
// can be opened under its name was written completely by this run.
//
// The directory is created at the first file and removed, with everything
// in it, by remove() and by the destructor; keepInWorkingDirectory() first
// moves the complete files into the working directory under their names,
// replacing whatever is there (a link is replaced, never written through).
//
// Files stored whole with put() stay in memory while the store's budget
// allows (an eighth of the machine's memory) and go to the directory only
// beyond it; a run that fits in memory makes no directory at all.  Kept
// files are written from memory into the working directory the same way:
// under name + ".part", then renamed over the name.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace ruvo {

class ScratchDir {
public:
  ScratchDir() = default;
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Create the directory if it does not exist yet; false (errno set) when it
  // cannot be made.  A failure is reported once on `err`.
  bool ensure(std::ostream& err);
  // A file descriptor for writing `name` afresh (as name + ".part"), or -1
  // with errno set.
  int create(const std::string& name, std::ostream& err);
  // The file written through create() is complete: it takes its name.
  bool commit(const std::string& name);
  // Writing failed: the partial file is removed.
  void discard(const std::string& name);
  // A descriptor for reading the complete file `name`; -1 when this run has
  // not written it completely.
  int open(const std::string& name) const;
  // Keep `bytes` as the complete file `name`, in memory while the budget
  // allows, else written to the directory.  Returns 0, or the errno of the
  // failed write (the file is then not stored).
  int put(const std::string& name, std::string&& bytes, std::ostream& err);
  // The file `name` when it is held in memory, else null (it may still be a
  // file of the directory: open()).  Valid until the name is stored again.
  const std::string* inMemory(const std::string& name) const;
  // Forget any complete version of `name` (one is being written anew).
  void drop(const std::string& name);
  // Bytes of files held in memory at most (tests set 0: every file to disk).
  void setMemoryBudget(std::size_t bytes) { budget_ = bytes; }

  // Path of the directory ("" before it exists).
  const std::string& path() const { return path_; }

  // Move the complete files into the working directory the run started in;
  // each file that cannot be moved is reported on `err`.  Returns the
  // number of such failures.
  int keepInWorkingDirectory(std::ostream& err);
  // Remove the directory and every file in it.
  void remove();

  // Let removeScratchDirFromHandler() know this directory: the program's
  // run, which owns the process's signals, calls it once before its first
  // file.  Runs inside a library (several at once) never do.
  void announceToSignalHandler() { announced_ = true; }

private:
  void publish();
  int parentFd_ = -1; // the working directory at creation
  int dirFd_ = -1;
  std::string name_; // relative to the parent
  std::string path_;
  bool failed_ = false;
  bool announced_ = false;
  std::vector<std::string> names_;            // every name handed out (keepInWorkingDirectory)
  std::map<std::string, std::string> memory_; // complete files held in memory
  std::size_t memoryBytes_ = 0, budget_ = defaultMemoryBudget();
  int workFd_ = -1; // the working directory at the first file
  static std::size_t defaultMemoryBudget();
  void note(const std::string& name);
};

// Remove the directory of the program's run in progress (the one announced
// to the handler) with async-signal-safe calls only (for a signal handler
// that ends the process).
void removeScratchDirFromHandler();

} // namespace ruvo

namespace ruvo {

// Open the file `name` of the working directory for writing from its start
// (eval.out, dfreq.out, inspection files): a symbolic link of that name is
// removed first, so the link is replaced and the file it points to is never
// written; a name that is no regular file (a directory, a device) is refused.
// Returns whether `f` is open.
bool openOwnFile(std::ofstream& f, const std::string& name);

} // namespace ruvo
