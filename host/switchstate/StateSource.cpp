// host/switchstate/StateSource.cpp — the state file's source: a watched file, applied as it
// changes.
///
/// The file source watches the file's directory with inotify (so replacing the file by a
/// rename is seen) and reacts only once a writer has closed the file or a new file was moved
/// in under its name, so a half-written file is never read. A burst of events read at once
/// makes one reload. A reload reads the file in task runs, then applies it in task runs; a
/// reload during either restarts from the file as it is now. At start the file is read and
/// applied completely before `start` returns, as nothing is served yet. Once a file is applied,
/// the allocator returns its free pages to the kernel: the read buffer and parse index, many
/// times the size of what is kept, are gone by then.
#include "StateSource.h"

#include <malloc.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/fd_event_manager.h>

#include "StateApplier.h"
#include "StateFile.h"
#include "StateFileLoader.h"
#include "Velo/Job.h"

// jemalloc's control call, present when the daemon links jemalloc.
extern "C" int mallctl(const char* name, void* oldp, std::size_t* oldlenp, void* newp,
                       std::size_t newlen) __attribute__((weak));

namespace Host {

namespace {

/// Hands the allocator's free pages back to the kernel: jemalloc purges every arena (4096 names
/// them all); glibc, in builds without jemalloc, trims its heaps.
void releaseFreePages() {
  if (mallctl) {
    mallctl("arena.4096.purge", nullptr, nullptr, nullptr, 0);
    return;
  }
  malloc_trim(0);
}

class StateFileSource : public StateSource {
 public:
  StateFileSource(const SwitchInputs& inputs, std::string path)
      : path_(std::move(path)), applier_(inputs, [this] { applied(); }) {
    load_.taskIs(inputs.scheduler, StateApplier::taskPriority,
                 Pondo::String("Host::StateFileLoader"));
    const std::size_t slash = path_.rfind('/');
    directory_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  }

  ~StateFileSource() override {
    if (fd_ < 0) return;
    unregister_readfd(fd_);
    ::close(fd_);
  }

  bool start(std::string& error) override {
    if (!watch(error)) return false;  // before reading, so no change goes unseen
    std::unique_ptr<StateFile> target = StateFile::load(path_, error);
    if (!target) return false;
    applier_.applyNow(std::move(target));
    return true;
  }

  void reload() override {
    loader_ = std::make_unique<StateFileLoader>(path_);
    load_.schedule();
  }

 private:
  void onLoadRun() {
    if (!loader_) return;
    if (!loader_->readSome([this] { return load_.shouldYield(); })) {
      load_.schedule();
      return;
    }
    const std::unique_ptr<StateFileLoader> loader = std::move(loader_);
    std::unique_ptr<StateFile> target = loader->take();
    if (!target) {
      snmp_log(LOG_ERR, "%s\n", loader->error().c_str());
      snmp_log(LOG_ERR, "keeping the running state\n");
      return;
    }
    applier_.applyInTasks(std::move(target));
  }

  bool watch(std::string& error) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      error = path_ + ": cannot watch: " + std::strerror(errno);
      return false;
    }
    if (inotify_add_watch(fd_, directory_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
      error = path_ + ": cannot watch " + directory_ + ": " + std::strerror(errno);
      return false;
    }
    register_readfd(fd_, &StateFileSource::readable, this);
    return true;
  }

  static void readable(int /*fd*/, void* self) { static_cast<StateFileSource*>(self)->drain(); }

  /// Reads every pending event; reloads once when one of them concerns the file.
  void drain() {
    alignas(inotify_event) char buffer[16 * 1024];
    bool concerned = false;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (const char* p = buffer; p < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(p);
        if ((event->mask & IN_Q_OVERFLOW) || (event->len && name_ == event->name)) {
          concerned = true;
        }
        p += sizeof(inotify_event) + event->len;
      }
    }
    if (concerned) reload();
  }

  void applied() {
    releaseFreePages();
    snmp_log(LOG_INFO, "state applied: %s\n", path_.c_str());
  }

  std::string path_;
  std::string directory_;
  std::string name_;
  StateApplier applier_;
  std::unique_ptr<StateFileLoader> loader_;  // a reload being read
  Velo::Job load_{this, Velo::memberStep<&StateFileSource::onLoadRun>};
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<StateSource> stateFileSource(const SwitchInputs& inputs, std::string path) {
  return std::make_unique<StateFileSource>(inputs, std::move(path));
}
}  // namespace Host
