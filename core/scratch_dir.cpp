#include "core/scratch_dir.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/state.h"

namespace ruvo {

namespace {

constexpr char kTemplate[] = "ruvo-scratch.XXXXXX";
constexpr char kPart[] = ".part";

// What a signal handler needs to remove the directory of the run in
// progress: descriptors and a fixed table of the names handed out so far.
// Entries are written completely before the count that publishes them.
constexpr int kMaxNames = DIMTDO + DIMB + 16;
constexpr int kNameLen = 40;
char g_names[kMaxNames][kNameLen];
volatile std::sig_atomic_t g_nNames = 0;
volatile std::sig_atomic_t g_parentFd = -1, g_dirFd = -1;
char g_dirName[sizeof kTemplate];

void remember(const std::string& name) {
  if (name.size() + sizeof kPart > kNameLen) return;
  const int n = g_nNames;
  for (int i = 0; i < n; ++i)
    if (name == g_names[i]) return;
  if (n >= kMaxNames) return;
  std::memcpy(g_names[n], name.c_str(), name.size() + 1);
  g_nNames = n + 1;
}

std::string partName(const std::string& name) { return name + kPart; }

// Write all of `bytes` to `fd` (write may be cut short or interrupted);
// 0, or the errno of the failure.
int writeAllBytes(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    const ssize_t k = ::write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return k < 0 ? errno : EIO;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return 0;
}

bool plainName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

} // namespace

ScratchDir::~ScratchDir() { remove(); }

bool ScratchDir::ensure(std::ostream& err) {
  if (dirFd_ >= 0) return true;
  if (failed_) {
    errno = EACCES;
    return false;
  }
  char name[sizeof kTemplate];
  std::memcpy(name, kTemplate, sizeof kTemplate);
  const int parent = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int fd = -1;
  if (parent >= 0 && ::mkdtemp(name) != nullptr) {
    fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) ::unlinkat(parent, name, AT_REMOVEDIR);
  }
  if (fd < 0) {
    const int e = errno;
    if (parent >= 0) ::close(parent);
    failed_ = true;
    err << " scratch files: no directory " << kTemplate << " can be made in the working directory ("
        << std::strerror(e) << "); no line strengths or predicted spectra\n";
    errno = e;
    return false;
  }
  parentFd_ = parent;
  dirFd_ = fd;
  name_ = name;
  char cwd[4096];
  path_ = ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + name_ : name_;
  if (announced_) publish();
  return true;
}

// The handler's copy of the directory (only the announced run has one).
void ScratchDir::publish() {
  g_nNames = 0;
  std::memcpy(g_dirName, name_.c_str(), sizeof g_dirName);
  g_parentFd = parentFd_;
  g_dirFd = dirFd_;
}

std::size_t ScratchDir::defaultMemoryBudget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return std::size_t{256} << 20;
  return static_cast<std::size_t>(pages) / 8 * static_cast<std::size_t>(size);
}

void ScratchDir::note(const std::string& name) {
  if (std::find(names_.begin(), names_.end(), name) == names_.end()) names_.push_back(name);
  if (workFd_ < 0) workFd_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int ScratchDir::put(const std::string& name, std::string&& bytes, std::ostream& err) {
  if (!plainName(name)) return EINVAL;
  note(name);
  drop(name);
  if (memoryBytes_ + bytes.size() <= budget_) {
    memoryBytes_ += bytes.size();
    memory_[name] = std::move(bytes);
    return 0;
  }
  // beyond the budget: a file of the directory
  const int fd = create(name, err);
  if (fd < 0) return errno != 0 ? errno : EIO;
  int status = writeAllBytes(fd, bytes);
  if (::close(fd) != 0 && status == 0) status = errno;
  if (status == 0 && !commit(name)) status = errno != 0 ? errno : EIO;
  if (status != 0) discard(name);
  return status;
}

const std::string* ScratchDir::inMemory(const std::string& name) const {
  const auto it = memory_.find(name);
  return it == memory_.end() ? nullptr : &it->second;
}

void ScratchDir::drop(const std::string& name) {
  const auto it = memory_.find(name);
  if (it != memory_.end()) {
    memoryBytes_ -= it->second.size();
    memory_.erase(it);
  }
  if (dirFd_ >= 0 && plainName(name)) {
    ::unlinkat(dirFd_, name.c_str(), 0);
    ::unlinkat(dirFd_, partName(name).c_str(), 0);
  }
}

int ScratchDir::create(const std::string& name, std::ostream& err) {
  if (!plainName(name)) {
    errno = EINVAL;
    return -1;
  }
  if (!ensure(err)) return -1;
  note(name);
  if (announced_) remember(name);
  // the earlier version (of an earlier sweep) and any partial file go first
  ::unlinkat(dirFd_, name.c_str(), 0);
  const std::string part = partName(name);
  ::unlinkat(dirFd_, part.c_str(), 0);
  return ::openat(dirFd_, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool ScratchDir::commit(const std::string& name) {
  if (dirFd_ < 0 || !plainName(name)) return false;
  return ::renameat(dirFd_, partName(name).c_str(), dirFd_, name.c_str()) == 0;
}

void ScratchDir::discard(const std::string& name) {
  if (dirFd_ < 0 || !plainName(name)) return;
  ::unlinkat(dirFd_, partName(name).c_str(), 0);
}

int ScratchDir::open(const std::string& name) const {
  if (dirFd_ < 0 || !plainName(name)) return -1;
  const int fd = ::openat(dirFd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

namespace {
// Write `bytes` into directory `dirFd` as `name`: under name + ".part",
// created exclusively, then renamed over the name.  0 or the errno.
int writeInto(int dirFd, const std::string& name, const std::string& bytes) {
  const std::string part = partName(name);
  ::unlinkat(dirFd, part.c_str(), 0);
  const int fd =
      ::openat(dirFd, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int status = writeAllBytes(fd, bytes);
  if (::close(fd) != 0 && status == 0) status = errno;
  if (status == 0 && ::renameat(dirFd, part.c_str(), dirFd, name.c_str()) != 0) status = errno;
  if (status != 0) ::unlinkat(dirFd, part.c_str(), 0);
  return status;
}
} // namespace

int ScratchDir::keepInWorkingDirectory(std::ostream& err) {
  int failures = 0;
  for (const std::string& kept : names_) {
    const char* name = kept.c_str();
    if (const std::string* bytes = inMemory(kept)) {
      const int status = workFd_ >= 0 ? writeInto(workFd_, kept, *bytes) : ENOENT;
      if (status != 0) {
        err << " scratch files: " << name << " cannot be kept in the working directory ("
            << std::strerror(status) << ")\n";
        ++failures;
      }
      continue;
    }
    if (dirFd_ < 0) continue;
    struct stat st {};
    if (::fstatat(dirFd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue; // never completed
    // rename(2) replaces a file or link of that name; it never follows one
    if (::renameat(dirFd_, name, parentFd_, name) != 0) {
      err << " scratch files: " << name << " cannot be kept in the working directory ("
          << std::strerror(errno) << ")\n";
      ++failures;
    }
  }
  return failures;
}

void ScratchDir::remove() {
  memory_.clear();
  memoryBytes_ = 0;
  if (dirFd_ < 0) {
    names_.clear();
    if (workFd_ >= 0) ::close(workFd_);
    workFd_ = -1;
    return;
  }
  // the handler must not act on a directory that is going away
  if (g_dirFd == dirFd_) {
    g_dirFd = -1;
    g_parentFd = -1;
    g_nNames = 0;
  }
  // everything in it was made by this run
  const int dupFd = ::dup(dirFd_);
  if (DIR* d = dupFd >= 0 ? ::fdopendir(dupFd) : nullptr) {
    while (const dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      ::unlinkat(dirFd_, e->d_name, 0);
    }
    ::closedir(d);
  } else if (dupFd >= 0) {
    ::close(dupFd);
  }
  ::close(dirFd_);
  ::unlinkat(parentFd_, name_.c_str(), AT_REMOVEDIR);
  ::close(parentFd_);
  dirFd_ = parentFd_ = -1;
  name_.clear();
  names_.clear();
  path_.clear();
}

void removeScratchDirFromHandler() {
  const int dirFd = g_dirFd, parentFd = g_parentFd;
  if (dirFd < 0 || parentFd < 0) return;
  const int n = g_nNames;
  for (int i = 0; i < n; ++i) {
    ::unlinkat(dirFd, g_names[i], 0);
    // the partial file of the same name: name + ".part", built in place
    char part[kNameLen + sizeof kPart];
    std::size_t len = 0;
    while (len < kNameLen && g_names[i][len] != '\0') {
      part[len] = g_names[i][len];
      ++len;
    }
    for (std::size_t k = 0; k < sizeof kPart; ++k) part[len + k] = kPart[k];
    ::unlinkat(dirFd, part, 0);
  }
  ::unlinkat(parentFd, g_dirName, AT_REMOVEDIR);
}

} // namespace ruvo

namespace ruvo {

bool openOwnFile(std::ofstream& f, const std::string& name) {
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      if (::unlink(name.c_str()) != 0) return false;
    } else if (!S_ISREG(st.st_mode)) {
      return false;
    }
  }
  f.open(name, std::ios::out | std::ios::trunc);
  return f.is_open();
}

bool isSameFile(const std::string& path, const FileIdentity& id) {
  struct stat st {};
  return id.known && ::stat(path.c_str(), &st) == 0 &&
         static_cast<unsigned long long>(st.st_dev) == id.dev &&
         static_cast<unsigned long long>(st.st_ino) == id.ino;
}

} // namespace ruvo
