#include "quillpost/host/process/crash_handler.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "quillpost/host/process/private_files.h"

namespace quillpost {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kMaxFrames = 64;

// Everything the handler needs, prepared at install: it allocates nothing.
struct Prepared {
  char dir[1024];
  char build[512];
  std::atomic<bool> installed{false};
  std::atomic<bool> entered{false};
};
Prepared prepared;

// A fixed buffer that the handler fills and flushes to a descriptor.
class Out {
 public:
  explicit Out(int fd) : fd_(fd) {}
  ~Out() { flush(); }
  Out& text(const char* s) {
    while (*s != '\0') put(*s++);
    return *this;
  }
  Out& text(const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) put(s[i]);
    return *this;
  }
  Out& number(std::uint64_t v) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n > 0) put(digits[--n]);
    return *this;
  }
  Out& hex(std::uint64_t v) {
    text("0x");
    char digits[20];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v != 0);
    while (n > 0) put(digits[--n]);
    return *this;
  }
  void put(char c) {
    if (used_ == sizeof buffer_) flush();
    buffer_[used_++] = c;
  }
  void flush() {
    std::size_t done = 0;
    while (done < used_) {
      const ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    used_ = 0;
  }

 private:
  int fd_;
  char buffer_[1024];
  std::size_t used_ = 0;
};

const char* signal_name(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    default:
      return "?";
  }
}

struct Frames {
  std::uintptr_t pc[kMaxFrames];
  std::size_t count = 0;
};

_Unwind_Reason_Code collect(_Unwind_Context* context, void* arg) {
  auto* frames = static_cast<Frames*>(arg);
  if (frames->count == kMaxFrames) return _URC_END_OF_STACK;
  const std::uintptr_t pc = _Unwind_GetIP(context);
  if (pc == 0) return _URC_END_OF_STACK;
  frames->pc[frames->count++] = pc;
  return _URC_NO_REASON;
}

// Writes "<load bias> <build id>" of the ELF object whose first mapping is
// [start, end): the build id from its PT_NOTE segments, hex, or "-" when
// there is none. Reads only that mapping of the process's own memory, so a
// file that is not a loaded object (or one mapped in part) cannot fault.
void write_object(Out& out, std::uintptr_t start, std::uintptr_t end) {
  const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(start);
  const std::uintptr_t phdrs_end =
      start + header->e_phoff + std::uintptr_t{header->e_phnum} * sizeof(ElfW(Phdr));
  if (end - start < sizeof(ElfW(Ehdr)) || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
      header->e_phentsize != sizeof(ElfW(Phdr)) || phdrs_end > end || phdrs_end < start) {
    out.hex(start).text(" -");
    return;
  }
  const auto* phdrs = reinterpret_cast<const ElfW(Phdr)*>(start + header->e_phoff);
  std::uintptr_t bias = start;
  for (int i = 0; i < header->e_phnum; ++i) {
    if (phdrs[i].p_type == PT_LOAD) {
      bias = start - (phdrs[i].p_vaddr - phdrs[i].p_offset);
      break;
    }
  }
  out.hex(bias).text(" ");
  for (int i = 0; i < header->e_phnum; ++i) {
    if (phdrs[i].p_type != PT_NOTE) continue;
    std::uintptr_t at = bias + phdrs[i].p_vaddr;
    const std::uintptr_t notes_end = at + phdrs[i].p_memsz;
    if (at < start || notes_end > end) continue;
    while (at + sizeof(ElfW(Nhdr)) <= notes_end) {
      const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
      const std::uintptr_t name = at + sizeof(ElfW(Nhdr));
      const std::uintptr_t desc = name + ((note->n_namesz + 3) & ~3U);
      if (desc > notes_end) break;
      if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
          std::memcmp(reinterpret_cast<const void*>(name), "GNU", 4) == 0 &&
          desc + note->n_descsz <= notes_end) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(desc);
        for (unsigned k = 0; k < note->n_descsz; ++k) {
          out.put("0123456789abcdef"[bytes[k] >> 4]);
          out.put("0123456789abcdef"[bytes[k] & 15]);
        }
        return;
      }
      at = desc + ((note->n_descsz + 3) & ~3U);
    }
  }
  out.text("-");
}

std::uintptr_t parse_hex(const char*& p) {
  std::uintptr_t v = 0;
  for (;; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      v = v * 16 + static_cast<std::uintptr_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      v = v * 16 + static_cast<std::uintptr_t>(c - 'a' + 10);
    } else {
      return v;
    }
  }
}

// One line of /proc/self/maps: the modules are the file mappings at offset 0
// ("start-end perms offset dev inode path"), whose ELF header is in memory.
void module_line(Out& out, const char* line, std::size_t n) {
  const char* p = line;
  const std::uintptr_t start = parse_hex(p);
  if (*p != '-') return;
  ++p;
  const std::uintptr_t end = parse_hex(p);
  if (*p != ' ' || p[1] != 'r') return;
  p += 6;  // " rwxp "
  const std::uintptr_t offset = parse_hex(p);
  const char* path = static_cast<const char*>(std::memchr(line, '/', n));
  if (offset != 0 || path == nullptr) return;
  out.text("module ");
  write_object(out, start, end);
  out.text(" ").text(path, static_cast<std::size_t>(line + n - path)).text("\n");
}

void write_modules(Out& out) {
  const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return;
  char buffer[4096];
  char line[1200];
  std::size_t used = 0;
  ssize_t n = 0;
  while ((n = ::read(maps, buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        module_line(out, line, used);
        used = 0;
      } else if (used < sizeof line) {
        line[used++] = buffer[i];
      }
    }
  }
  ::close(maps);
}

// The faulting instruction's address, when the machine is one we know; 0
// otherwise.
std::uintptr_t fault_pc(void* context) {
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
#else
  (void)context;
  return 0;
#endif
}

void on_fatal_signal(int sig, siginfo_t* info, void* context) {
  // A second fault while writing the report (or in another thread) goes
  // straight to the default action.
  if (!prepared.entered.exchange(true)) {
    const int saved_errno = errno;
    char path[1100];
    char final_path[1100];
    const std::time_t now = std::time(nullptr);
    {
      // crash-<seconds>-<pid>.txt, first under a name ending in ".part".
      char name[64];
      std::size_t at = 0;
      auto add = [&](const char* s) {
        while (*s != '\0' && at + 1 < sizeof name) name[at++] = *s++;
      };
      auto add_number = [&](std::uint64_t v) {
        char digits[24];
        int k = 0;
        do {
          digits[k++] = static_cast<char>('0' + v % 10);
          v /= 10;
        } while (v != 0);
        while (k > 0 && at + 1 < sizeof name) name[at++] = digits[--k];
      };
      add("/crash-");
      add_number(static_cast<std::uint64_t>(now));
      add("-");
      add_number(static_cast<std::uint64_t>(::getpid()));
      add(".txt");
      name[at] = '\0';
      std::strcpy(final_path, prepared.dir);
      std::strcat(final_path, name);
      std::strcpy(path, final_path);
      std::strcat(path, ".part");
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      {
        Out out(fd);
        char thread[17] = {0};
        ::prctl(PR_GET_NAME, thread, 0, 0, 0);
        out.text("quillpost crash report 1\ntime ").number(static_cast<std::uint64_t>(now));
        out.text("\nsignal ").number(static_cast<std::uint64_t>(sig)).text(" ");
        out.text(signal_name(sig)).text("\ncode ");
        const int code = info != nullptr ? info->si_code : 0;
        if (code < 0) out.text("-");
        out.number(static_cast<std::uint64_t>(code < 0 ? -code : code));
        out.text("\nthread ").text(thread).text("\nbuild ").text(prepared.build).text("\n");
        Frames frames;
        _Unwind_Backtrace(collect, &frames);
        // The frames of this handler and of the signal's return come first:
        // the backtrace starts at the faulting instruction where it is known.
        std::size_t first = 0;
        const std::uintptr_t pc = context != nullptr ? fault_pc(context) : 0;
        while (pc != 0 && first < frames.count && frames.pc[first] != pc) ++first;
        if (first == frames.count) first = 0;
        for (std::size_t i = first; i < frames.count; ++i) {
          out.text("frame ").hex(frames.pc[i]).text("\n");
        }
        write_modules(out);
      }
      ::fsync(fd);
      ::close(fd);
      ::rename(path, final_path);
    }
    errno = saved_errno;
  }
  // The default action, as without the handler: the signal is raised again
  // when the handler returns (a fault repeats; SIGABRT is sent anew).
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  if (info == nullptr || info->si_code <= 0 || sig == SIGABRT) ::raise(sig);
}

}  // namespace

void install_crash_handler(const std::filesystem::path& dir, const std::string& build) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' own handlers report a fault better than a report would.
  (void)dir;
  (void)build;
  return;
#endif
  if (prepared.installed.exchange(true)) return;
  make_private_directories(dir);
  const std::string d = dir.string();
  std::strncpy(prepared.dir, d.c_str(), sizeof prepared.dir - 1);
  std::size_t n = 0;
  for (const char c : build) {
    if (n + 1 >= sizeof prepared.build || n >= 400) break;
    prepared.build[n++] = (c == '\n' || c == '\r') ? ' ' : c;
  }
  prepared.build[n] = '\0';
  // The unwinder finds its tables on first use: do that now, outside any
  // handler.
  Frames frames;
  _Unwind_Backtrace(collect, &frames);
  // The handler runs on an alternate stack where the thread has one (a stack
  // overflow), else on the thread's own.
  struct sigaction action {};
  action.sa_sigaction = on_fatal_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (const int sig : kSignals) ::sigaction(sig, &action, nullptr);
}

}  // namespace quillpost
