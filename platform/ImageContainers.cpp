#include "platform/ImageContainers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <fmt/format.h>
#include <libdeflate.h>
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include "platform/EwfImage.h"
#include "platform/Qcow2Image.h"
#include "platform/RawDevice.h"

namespace container {
namespace {

// The two most specific lines of a library's error chain (the first ones set), without the
// function names they start with: "unable to read file header: unsupported format version: 99".
template <typename Error>
std::string ErrorText(Error* error, int (*backtrace)(Error*, char*, size_t), void (*release)(Error**)) {
  if (!error) return "unknown error";
  char text[4096] = {};
  backtrace(error, text, sizeof text - 1);
  release(&error);
  std::vector<std::string> lines;
  std::string all(text);
  for (size_t at = 0; at < all.size() && lines.size() < 2;) {
    size_t end = std::min(all.find('\n', at), all.size());
    std::string line = all.substr(at, end - at);
    at = end + 1;
    size_t colon = line.find(": ");
    if (colon != std::string::npos && line.compare(0, 3, "lib") == 0) line = line.substr(colon + 2);
    while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  if (lines.empty()) return "unknown error";
  return lines.size() == 1 ? lines[0] : lines[1] + ": " + lines[0];
}

std::string Directory(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The common part of the container devices: the name shown in errors, one lock (the
// libraries' handles are not safe for reads from several threads at once), and the check
// that the disk's first and last sectors can be read, which catches truncated files at
// open time rather than in the middle of a scan.
class CContainerDevice : public CRawDevice {
 public:
  CContainerDevice(const std::string& path, const char* kind) : CRawDevice(path, 0), m_kind(kind) {}
  const char* ContainerName() const override { return m_kind; }

  bool Validate(std::string* error) {
    if (m_nSize < 512) {
      *error = fmt::format("{}: the {} image holds no disk ({} bytes)", m_strPath, m_kind, m_nSize);
      return false;
    }
    uint8_t sector[512];
    std::lock_guard lock(m_mutex);
    for (uint64_t at : {uint64_t(0), m_nSize - 512}) {
      if (ReadLocked(at, sector, sizeof sector)) continue;
      *error = fmt::format("{}: the {} image is damaged or truncated: the {} sector of its disk cannot be read",
                           m_strPath, m_kind, at ? "last" : "first");
      return false;
    }
    return true;
  }

 protected:
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    if (offset > m_nSize || len > m_nSize - offset) return false;
    std::lock_guard lock(m_mutex);
    return ReadLocked(offset, buffer, len);
  }
  virtual bool ReadLocked(uint64_t offset, void* buffer, size_t len) = 0;

  const char* m_kind;
  std::mutex m_mutex;
};

// Reads in pieces of at most 16 MiB (the libraries take a size_t but answer an ssize_t).
template <typename F>
bool ReadAll(uint64_t offset, void* buffer, size_t len, F readAt) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (len > 0) {
    size_t piece = std::min<size_t>(len, 16u << 20);
    ssize_t n = readAt(out, piece, static_cast<off64_t>(offset));
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return true;
}

// --- EWF through libewf: Ex01 (EWF version 2) and the E01 variants our own reader -----------
// (platform/EwfImage.h) does not take; segments NAME.Ex01, NAME.Ex02, ... found from the first.

class CLibewfDevice final : public CContainerDevice {
 public:
  explicit CLibewfDevice(const std::string& path) : CContainerDevice(path, "EWF") {}
  ~CLibewfDevice() override {
    if (m_handle) {
      libewf_handle_close(m_handle, nullptr);
      libewf_handle_free(&m_handle, nullptr);
    }
  }

  bool Open(std::string* error) {
    libewf_error_t* e = nullptr;
    auto fail = [&](const char* what) {
      *error = fmt::format("{}: the EWF image {}: {}", m_strPath, what,
                           ErrorText(e, libewf_error_backtrace_sprint, libewf_error_free));
      return false;
    };
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(m_strPath.c_str(), m_strPath.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) != 1)
      return fail("has segment files that cannot be found");
    if (libewf_handle_initialize(&m_handle, &e) != 1) {
      libewf_glob_free(names, count, nullptr);
      return fail("cannot be opened");
    }
    int opened = libewf_handle_open(m_handle, names, count, LIBEWF_OPEN_READ, &e);
    libewf_glob_free(names, count, nullptr);
    names = nullptr;
    if (opened != 1) {
      libewf_handle_free(&m_handle, nullptr);
      m_handle = nullptr;
      return fail("cannot be opened (a segment file may be missing or damaged)");
    }
    // A missing or cut segment leaves the set "corrupted": its chunks would read as zeros.
    if (libewf_handle_segment_files_corrupted(m_handle, nullptr) == 1) {
      *error = fmt::format("{}: the EWF image is incomplete: a segment file is missing or truncated ({} found)",
                           m_strPath, count);
      return false;
    }
    size64_t size = 0;
    if (libewf_handle_get_media_size(m_handle, &size, &e) != 1) return fail("has no media size");
    m_nSize = size;
    uint32_t bps = 0, perChunk = 0;
    if (libewf_handle_get_bytes_per_sector(m_handle, &bps, nullptr) == 1 && bps >= 512 && bps <= 4096)
      m_nSectorSize = bps;
    // Each chunk is inflated and checksummed whole however little of it is read: the window
    // takes one chunk at a time, so scattered reads (folders, small files) inflate only the
    // chunks they touch. Sequential scans cost the same either way.
    if (libewf_handle_get_sectors_per_chunk(m_handle, &perChunk, nullptr) == 1 && perChunk > 0)
      SetWindowBytes(std::clamp<size_t>(size_t(perChunk) * m_nSectorSize, 32u << 10, kDefaultWindowBytes));
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, void* buffer, size_t len) override {
    return ReadAll(offset, buffer, len, [&](void* out, size_t n, off64_t at) {
      return libewf_handle_read_random(m_handle, out, n, at, nullptr);
    });
  }

 private:
  libewf_handle_t* m_handle = nullptr;
};

// --- Images that read through a chain of files ------------------------------------------
//
// A differencing VHD reads through its parent, a QCOW through its backing file, and each of
// those may have its own: the image first, then each parent, at most 16 (a longer chain is a
// loop). Lib holds the library's calls and what is particular to the format.

template <typename Lib>
class CChainDevice final : public CContainerDevice {
 public:
  using File = typename Lib::File;
  explicit CChainDevice(const std::string& path) : CContainerDevice(path, Lib::kKind) {}
  ~CChainDevice() override { CloseChain(m_files); }

  bool Open(std::string* error) {
    std::vector<File*> chain;
    auto fail = [&](const std::string& what) {
      *error = fmt::format("{}: {}", m_strPath, what);
      CloseChain(chain);
      return false;
    };
    std::string path = m_strPath;
    for (int depth = 0;; ++depth) {
      const std::string which = depth ? std::string(Lib::kParentWord) + " " + path + " " : std::string();
      typename Lib::Error* e = nullptr;
      File* file = nullptr;
      if (Lib::Initialize(&file, &e) != 1 || Lib::Open(file, path.c_str(), &e) != 1) {
        if (file) Lib::Free(&file);
        return fail(fmt::format("the {} image {}cannot be opened: {}", m_kind, which, Lib::ErrorText(e)));
      }
      chain.push_back(file);
      if (depth == 0) m_kind = Lib::Kind(file);
      std::string refusal = Lib::Refusal(file, path);
      if (!refusal.empty()) return fail(fmt::format("the {} image {}{}", m_kind, which, refusal));
      std::string recorded;
      if (!Lib::ParentName(file, recorded)) break;
      std::string parent = FindParent(path, recorded);
      if (parent.empty())
        return fail(fmt::format("the {}{} image needs its {} \"{}\", which is not there", Lib::kChildWord, m_kind,
                                Lib::kParentWord, recorded));
      if (depth == 15)
        return fail(fmt::format("the {} image's {}s form a chain too long to follow", m_kind, Lib::kParentWord));
      path = parent;
    }
    // Each file reads through the one after it.
    for (size_t i = chain.size(); i-- > 1;) {
      typename Lib::Error* e = nullptr;
      if (Lib::SetParent(chain[i - 1], chain[i], &e) != 1)
        return fail(fmt::format("the {} image's {} cannot be used: {}", m_kind, Lib::kParentWord, Lib::ErrorText(e)));
    }
    size64_t size = 0;
    typename Lib::Error* e = nullptr;
    if (Lib::MediaSize(chain.front(), &size, &e) != 1)
      return fail(fmt::format("the {} image has no media size: {}", m_kind, Lib::ErrorText(e)));
    m_files = std::move(chain);
    m_nSize = size;
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, void* buffer, size_t len) override {
    return ReadAll(offset, buffer, len,
                   [&](void* out, size_t n, off64_t at) { return Lib::ReadAt(m_files.front(), out, n, at); });
  }

 private:
  // The child first: it refers to its parents.
  static void CloseChain(std::vector<File*>& chain) {
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      Lib::Close(*it);
      Lib::Free(&*it);
    }
    chain.clear();
  }
  std::vector<File*> m_files;  // the image, then its parents
};

// The parent name a library records (UTF-8 with its NUL); false when it records none.
template <typename F>
bool RecordedName(F get, size_t size, std::string& name) {
  if (size <= 1) return false;
  std::vector<char> text(size);
  if (get(reinterpret_cast<uint8_t*>(text.data()), size) != 1) return false;
  name.assign(text.data());
  return !name.empty();
}

// --- VHD (fixed, dynamic, differencing) and VHDX ----------------------------------------

struct VhdiLib {
  using File = libvhdi_file_t;
  using Error = libvhdi_error_t;
  static constexpr const char* kKind = "VHD";
  static constexpr const char* kParentWord = "parent";
  static constexpr const char* kChildWord = "differencing ";
  static int Initialize(File** f, Error** e) { return libvhdi_file_initialize(f, e); }
  static int Open(File* f, const char* path, Error** e) { return libvhdi_file_open(f, path, LIBVHDI_OPEN_READ, e); }
  static void Close(File* f) { libvhdi_file_close(f, nullptr); }
  static void Free(File** f) { libvhdi_file_free(f, nullptr); }
  static std::string ErrorText(Error* e) {
    return container::ErrorText(e, libvhdi_error_backtrace_sprint, libvhdi_error_free);
  }
  static const char* Kind(File* f) {
    int format = 0;
    return libvhdi_file_get_file_type(f, &format, nullptr) == 1 && format == 2 ? "VHDX" : "VHD";
  }
  static std::string Refusal(File*, const std::string&) { return {}; }
  static bool ParentName(File* f, std::string& name) {
    uint32_t type = 0;
    size_t size = 0;
    if (libvhdi_file_get_disk_type(f, &type, nullptr) != 1 || type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return false;
    if (libvhdi_file_get_utf8_parent_filename_size(f, &size, nullptr) != 1) size = 0;
    RecordedName([&](uint8_t* out, size_t n) { return libvhdi_file_get_utf8_parent_filename(f, out, n, nullptr); },
                 size, name);
    return true;  // a differencing image needs its parent, named or not
  }
  static int SetParent(File* child, File* parent, Error** e) { return libvhdi_file_set_parent_file(child, parent, e); }
  static int MediaSize(File* f, size64_t* size, Error** e) { return libvhdi_file_get_media_size(f, size, e); }
  static ssize_t ReadAt(File* f, void* out, size_t n, off64_t at) {
    return libvhdi_file_read_buffer_at_offset(f, out, n, at, nullptr);
  }
};
using CVhdiDevice = CChainDevice<VhdiLib>;

// --- QCOW and QCOW2 through libqcow, with their backing files: version 1 and the QCOW2 ------
// variants our own reader (platform/Qcow2Image.h) does not take.

struct QcowLib {
  using File = libqcow_file_t;
  using Error = libqcow_error_t;
  static constexpr const char* kKind = "QCOW";
  static constexpr const char* kParentWord = "backing file";
  static constexpr const char* kChildWord = "";
  static int Initialize(File** f, Error** e) { return libqcow_file_initialize(f, e); }
  static int Open(File* f, const char* path, Error** e) { return libqcow_file_open(f, path, LIBQCOW_OPEN_READ, e); }
  static void Close(File* f) { libqcow_file_close(f, nullptr); }
  static void Free(File** f) { libqcow_file_free(f, nullptr); }
  static std::string ErrorText(Error* e) {
    return container::ErrorText(e, libqcow_error_backtrace_sprint, libqcow_error_free);
  }
  static const char* Kind(File* f) {
    uint32_t version = 0;
    return libqcow_file_get_format_version(f, &version, nullptr) == 1 && version >= 2 ? "QCOW2" : "QCOW";
  }
  static std::string Refusal(File* f, const std::string& path) {
    uint32_t method = 0;
    if (libqcow_file_get_encryption_method(f, &method, nullptr) == 1 && method != LIBQCOW_ENCRYPTION_METHOD_NONE)
      return "is encrypted; decrypt it first (qemu-img convert)";
    return {};
  }
  static bool ParentName(File* f, std::string& name) {
    size_t size = 0;
    if (libqcow_file_get_utf8_backing_filename_size(f, &size, nullptr) != 1) return false;
    return RecordedName(
        [&](uint8_t* out, size_t n) { return libqcow_file_get_utf8_backing_filename(f, out, n, nullptr); }, size, name);
  }
  static int SetParent(File* child, File* parent, Error** e) { return libqcow_file_set_parent_file(child, parent, e); }
  static int MediaSize(File* f, size64_t* size, Error** e) { return libqcow_file_get_media_size(f, size, e); }
  static ssize_t ReadAt(File* f, void* out, size_t n, off64_t at) {
    return libqcow_file_read_buffer_at_offset(f, out, n, at, nullptr);
  }
};
using CQcowDevice = CChainDevice<QcowLib>;

// --- VMDK: a descriptor (its own file, or inside a sparse extent) and its extents -------

class CVmdkDevice final : public CContainerDevice {
 public:
  explicit CVmdkDevice(const std::string& path) : CContainerDevice(path, "VMDK") {}
  ~CVmdkDevice() override {
    if (m_handle) {
      libvmdk_handle_close(m_handle, nullptr);
      libvmdk_handle_free(&m_handle, nullptr);
    }
  }

  bool Open(std::string* error) {
    libvmdk_error_t* e = nullptr;
    auto fail = [&](const char* what) {
      *error = fmt::format("{}: the VMDK image {}: {}", m_strPath, what,
                           ErrorText(e, libvmdk_error_backtrace_sprint, libvmdk_error_free));
      return false;
    };
    if (libvmdk_handle_initialize(&m_handle, &e) != 1) return fail("cannot be opened");
    if (libvmdk_handle_open(m_handle, m_strPath.c_str(), LIBVMDK_OPEN_READ, &e) != 1) {
      libvmdk_handle_free(&m_handle, nullptr);
      m_handle = nullptr;
      return fail("cannot be opened (a split extent must be opened through its descriptor file)");
    }
    std::string dir = Directory(m_strPath);
    libvmdk_handle_set_extent_data_files_path(m_handle, dir.c_str(), dir.size(), nullptr);
    if (libvmdk_handle_open_extent_data_files(m_handle, &e) != 1) return fail("has extent files that cannot be opened");
    size64_t size = 0;
    if (libvmdk_handle_get_media_size(m_handle, &size, &e) != 1) return fail("has no media size");
    m_nSize = size;
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, void* buffer, size_t len) override {
    return ReadAll(offset, buffer, len, [&](void* out, size_t n, off64_t at) {
      return libvmdk_handle_read_buffer_at_offset(m_handle, out, n, at, nullptr);
    });
  }

 private:
  libvmdk_handle_t* m_handle = nullptr;
};

// --- Split raw: NAME.001, NAME.002, ... or NAME.aa, NAME.ab, ... read as one disk --------

class CSplitRawDevice final : public CContainerDevice {
 public:
  explicit CSplitRawDevice(const std::string& path) : CContainerDevice(path, "split raw") {}
  ~CSplitRawDevice() override {
    for (const Part& p : m_parts) ::close(p.fd);
  }

  // Takes the parts' paths in order; every part but the last must be as long as the first.
  bool Open(const std::vector<std::string>& paths, std::string* error) {
    uint64_t start = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
      int fd = ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st {};
      if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        *error = fmt::format("{}: part {} of the split image ({}) cannot be opened: {}", m_strPath, i + 1, paths[i],
                             fd < 0 ? std::strerror(err) : "not a regular file");
        return false;
      }
      m_parts.push_back({fd, start, static_cast<uint64_t>(st.st_size)});
      if (i > 0 && i + 1 < paths.size() && m_parts[i].size != m_parts[0].size) {
        *error = fmt::format("{}: part {} of the split image ({}) is {} bytes, not {} as part 1: it is truncated or "
                             "from another image",
                             m_strPath, i + 1, paths[i], m_parts[i].size, m_parts[0].size);
        return false;
      }
      if (m_parts[i].size == 0 || __builtin_add_overflow(start, m_parts[i].size, &start)) {
        *error = fmt::format("{}: part {} of the split image ({}) is empty", m_strPath, i + 1, paths[i]);
        return false;
      }
    }
    m_nSize = start;
    return true;
  }

 protected:
  bool ReadLocked(uint64_t offset, void* buffer, size_t len) override {
    auto* out = static_cast<uint8_t*>(buffer);
    auto it = std::upper_bound(m_parts.begin(), m_parts.end(), offset,
                               [](uint64_t o, const Part& p) { return o < p.start; });
    if (it == m_parts.begin()) return false;
    --it;
    while (len > 0) {
      if (it == m_parts.end()) return false;
      uint64_t inPart = offset - it->start;
      size_t piece = static_cast<size_t>(std::min<uint64_t>(len, it->size - inPart));
      ssize_t n = ::pread(it->fd, out, piece, static_cast<off_t>(inPart));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      out += n;
      offset += static_cast<uint64_t>(n);
      len -= static_cast<size_t>(n);
      if (offset >= it->start + it->size) ++it;
    }
    return true;
  }

 private:
  struct Part {
    int fd;
    uint64_t start;
    uint64_t size;
  };
  std::vector<Part> m_parts;
};

// The name of the part after (step 1) or before (step -1) a split part's name: the suffix after
// the last dot counts in decimal (001, 002, ...; its width kept) or in letters (aa, ab, ...).
// Empty when the name has no such suffix or the count runs out.
std::string NeighbourPart(const std::string& path, int step) {
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return {};
  std::string stem = path.substr(0, dot + 1), suffix = path.substr(dot + 1);
  if (suffix.size() < 2 || suffix.size() > 6) return {};
  bool digits = std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; });
  bool letters = std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  if (!digits && !letters) return {};
  const char low = digits ? '0' : 'a', high = digits ? '9' : 'z';
  for (size_t i = suffix.size(); i-- > 0;) {
    if (step > 0 ? suffix[i] != high : suffix[i] != low) {
      suffix[i] = char(suffix[i] + step);
      return stem + suffix;
    }
    suffix[i] = step > 0 ? low : high;
  }
  return {};
}

Outcome OpenSplitRaw(const std::string& path, std::shared_ptr<CRawDevice>* device, std::string* error) {
  std::string next = NeighbourPart(path, 1), before = NeighbourPart(path, -1);
  bool hasNext = !next.empty() && IsFile(next);
  if (!hasNext && (before.empty() || !IsFile(before))) return Outcome::NotContainer;
  if (!before.empty() && IsFile(before)) {
    std::string first = before;
    for (int i = 0; i < 100000; ++i) {
      std::string earlier = NeighbourPart(first, -1);
      if (earlier.empty() || !IsFile(earlier)) break;
      first = earlier;
    }
    *error = fmt::format("{}: this is a later part of a split image; open its first part, {}", path, first);
    return Outcome::Refused;
  }
  std::vector<std::string> parts{path};
  for (std::string p = next; !p.empty() && IsFile(p) && parts.size() < 100000; p = NeighbourPart(p, 1))
    parts.push_back(p);
  auto split = std::make_shared<CSplitRawDevice>(path);
  if (!split->Open(parts, error) || !split->Validate(error)) return Outcome::Refused;
  *device = std::move(split);
  return Outcome::Opened;
}

bool Starts(const uint8_t* bytes, size_t have, const char* signature, size_t length) {
  return have >= length && std::memcmp(bytes, signature, length) == 0;
}

template <typename Device>
Outcome OpenLibraryImage(const std::string& path, std::shared_ptr<CRawDevice>* device, std::string* error) {
  auto image = std::make_shared<Device>(path);
  if (!image->Open(error) || !image->Validate(error)) return Outcome::Refused;
  *device = std::move(image);
  return Outcome::Opened;
}

}  // namespace

std::string Hex(uint64_t offset) { return fmt::format("{} (0x{:x})", offset, offset); }

libdeflate_decompressor* ThreadDecompressor() {
  struct Free {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
  };
  thread_local std::unique_ptr<libdeflate_decompressor, Free> decompressor(libdeflate_alloc_decompressor());
  return decompressor.get();
}

std::string FindParent(const std::string& child, const std::string& recorded) {
  if (recorded.empty()) return {};
  std::string asWritten = recorded[0] == '/' ? recorded : Directory(child) + "/" + recorded;
  if (IsFile(asWritten)) return asWritten;
  std::string beside = Directory(child) + "/" + BaseName(recorded);
  return IsFile(beside) ? beside : std::string();
}

Outcome OpenContainer(const std::string& path, int fd, uint64_t size, std::shared_ptr<CRawDevice>* device,
                      std::string* error) {
  uint8_t head[512] = {};
  ssize_t got = ::pread(fd, head, sizeof head, 0);
  size_t have = got > 0 ? static_cast<size_t>(got) : 0;
  // EWF (E01) through our own reader, EWF2 (Ex01) and the E01 variants it does not take through
  // libewf; the logical-evidence kinds (L01, Lx01) hold files, not a disk.
  if (Starts(head, have, "EVF\x09\x0d\x0a\xff\x00", 8)) {
    switch (ewf::OpenImage(path, device, error)) {
      case ewf::Opening::Opened: return Outcome::Opened;
      case ewf::Opening::Refused: return Outcome::Refused;
      case ewf::Opening::NotEwf1:
      case ewf::Opening::Unsupported: break;
    }
    if (error) error->clear();
    return OpenLibraryImage<CLibewfDevice>(path, device, error);
  }
  if (Starts(head, have, "EVF2\x0d\x0a\x81\x00", 8)) return OpenLibraryImage<CLibewfDevice>(path, device, error);
  if (Starts(head, have, "LVF\x09\x0d\x0a\xff\x00", 8) || Starts(head, have, "LEF2\x0d\x0a\x81\x00", 8)) {
    *error = fmt::format("{}: a logical evidence file (L01) holds single files, not a disk image", path);
    return Outcome::Refused;
  }
  if (Starts(head, have, "vhdxfile", 8) || Starts(head, have, "conectix", 8))
    return OpenLibraryImage<CVhdiDevice>(path, device, error);
  // QCOW2 through our own reader; version 1 and the variants it does not take through libqcow.
  if (Starts(head, have, "QFI\xfb", 4)) {
    std::string ours;
    switch (qcow2::OpenImage(path, device, &ours)) {
      case qcow2::Opening::Opened: return Outcome::Opened;
      case qcow2::Opening::Refused:
        if (error) *error = ours;
        return Outcome::Refused;
      case qcow2::Opening::NotQcow2:
      case qcow2::Opening::Unsupported: break;
    }
    const Outcome outcome = OpenLibraryImage<CQcowDevice>(path, device, error);
    // libqcow names a variant it does not know by its bits ("unsupported incompatible features
    // flags: 0x00000008"); what our reader found says which it is.
    const std::string cannot = " cannot be opened: ";
    if (outcome == Outcome::Refused && error && !ours.empty() && error->find(cannot) != std::string::npos)
      *error = ours + "; libqcow cannot open it: " + error->substr(error->find(cannot) + cannot.size());
    return outcome;
  }
  if (Starts(head, have, "KDMV", 4) || Starts(head, have, "COWD", 4) ||
      Starts(head, have, "# Disk DescriptorFile", 21))
    return OpenLibraryImage<CVmdkDevice>(path, device, error);
  // A fixed VHD is the raw disk followed by its footer.
  if (size >= 1024) {
    char footer[8] = {};
    if (::pread(fd, footer, sizeof footer, static_cast<off_t>(size - 512)) == 8 &&
        std::memcmp(footer, "conectix", 8) == 0)
      return OpenLibraryImage<CVhdiDevice>(path, device, error);
  }
  return OpenSplitRaw(path, device, error);
}

}  // namespace container
