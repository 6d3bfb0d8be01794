// Model files read by the batch entries, and the threads that read them.
#include "python/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "python/guard.hpp"
#include "python/py_ref.hpp"

namespace trelm::python {

std::optional<std::string> read_regular_file(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> data;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    std::string bytes(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t used = 0;
    bool failed = false;
    while (true) {
      if (used == bytes.size()) bytes.resize(bytes.size() * 2);
      const ssize_t n = read(fd, bytes.data() + used, bytes.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed = true;
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
    }
    if (!failed) {
      bytes.resize(used);
      data = std::move(bytes);
    }
  }
  close(fd);
  return data;
}

bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    // Eight ASCII bytes at a time: most model files are ASCII throughout.
    std::uint64_t block = 0;
    if (n - i >= sizeof block) {
      std::memcpy(&block, text.data() + i, sizeof block);
      if ((block & 0x8080808080808080ULL) == 0) {
        i += sizeof block;
        continue;
      }
    }
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

std::optional<std::vector<std::string>> file_system_paths(PyObject* sequence, const char* entry) {
  const Py_ssize_t count = PyTuple_Size(sequence);
  if (count < 0) return std::nullopt;
  std::vector<std::string> paths;
  paths.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* path = PyTuple_GetItem(sequence, i);
    if (!PyUnicode_Check(path)) {
      PyErr_Format(PyExc_TypeError, "%s() paths must be str", entry);
      return std::nullopt;
    }
    PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(path));
    if (!bytes) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
    const std::string_view view(data, static_cast<std::size_t>(size));
    paths.emplace_back(view.find('\0') == std::string_view::npos ? std::string(view) : std::string());
  }
  return paths;
}

void on_threads(std::size_t jobs, std::size_t files, const std::function<void()>& work) {
  const std::size_t threads = std::min(jobs, (files + kFilesPerChunk - 1) / kFilesPerChunk);
  std::vector<std::thread> started;
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      started.emplace_back(work);
    } catch (...) {
      break;  // fewer threads, the same work
    }
  }
  work();
  for (std::thread& thread : started) thread.join();
}

namespace {

// The files the workers of in_order_on_threads() have done, as the taking thread sees them.
class DoneFiles {
 public:
  explicit DoneFiles(std::size_t files) : done_(files, false) {}

  // The next chunk of files to work on; empty once every file is taken or the work stopped.
  std::pair<std::size_t, std::size_t> next_chunk() {
    if (stopped_.load()) return {0, 0};
    const std::size_t first = std::min(next_.fetch_add(kFilesPerChunk), done_.size());
    return {first, std::min(done_.size(), first + kFilesPerChunk)};
  }

  void mark(std::size_t first, std::size_t last) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = first; i < last; ++i) done_[i] = true;
    }
    changed_.notify_all();
  }

  bool is_done(std::size_t file) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return done_[file];
  }

  void wait_for(std::size_t file) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_[file]; });
  }

  void stop() { stopped_.store(true); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> done_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stopped_{false};
};

}  // namespace

bool in_order_on_threads(std::size_t jobs, std::size_t files, const std::function<void(std::size_t)>& work,
                         const std::function<bool(std::size_t)>& take) {
  DoneFiles done(files);
  const auto worker = [&]() noexcept {
    for (auto [first, last] = done.next_chunk(); first < last; std::tie(first, last) = done.next_chunk()) {
      for (std::size_t i = first; i < last; ++i) work(i);
      done.mark(first, last);
    }
  };
  const std::size_t threads = std::min(jobs, (files + kFilesPerChunk - 1) / kFilesPerChunk);
  std::vector<std::thread> started;
  for (std::size_t t = 0; t < threads; ++t) {
    try {
      started.emplace_back(worker);
    } catch (...) {
      break;  // fewer threads, the same work
    }
  }
  if (started.empty()) {  // no thread could start: this one does the work first
    without_interpreter_lock([&] {
      worker();
      return 0;
    });
  }
  bool complete = true;
  std::exception_ptr failure;  // thrown by `take` (out of memory): raised again once the threads are joined
  try {
    for (std::size_t i = 0; i < files && complete; ++i) {
      if (!done.is_done(i)) {
        without_interpreter_lock([&] {
          done.wait_for(i);
          return 0;
        });
      }
      complete = take(i);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  done.stop();
  without_interpreter_lock([&] {
    for (std::thread& thread : started) thread.join();
    return 0;
  });
  if (failure) std::rethrow_exception(failure);
  return complete;
}

}  // namespace trelm::python
