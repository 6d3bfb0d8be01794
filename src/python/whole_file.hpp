// Model files read by the batch entries on their own threads.
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trelm::python {

// One whole read of a regular file that is not a symbolic link; nullopt
// for anything else.
std::optional<std::string> read_regular_file(const std::string& path);

// Strict UTF-8, as Python decodes it: no overlong forms, no surrogates,
// nothing past U+10FFFF.
bool is_utf8(std::string_view text);

// The file system paths of a sequence of str (`entry` names the function in
// the TypeError for anything else); a path holding a NUL, which names no
// file, is empty, left to the caller's slow way to say so. nullopt with the
// error set on failure.
std::optional<std::vector<std::string>> file_system_paths(PyObject* sequence, const char* entry);

// Files a thread takes at once from the batch.
inline constexpr std::size_t kFilesPerChunk = 16;

// Runs `work` on up to `jobs` threads, this one among them, no more than
// `files` need at kFilesPerChunk a thread; on fewer when one cannot start.
void on_threads(std::size_t jobs, std::size_t files, const std::function<void()>& work);

// Runs `work(i)` (which must not throw) for each file on up to `jobs`
// threads of its own, without the interpreter lock, while this thread, holding it, runs `take(i)` on
// each file done, in order: the Python values of the first files are made
// while the last are still read. Called with the interpreter lock held;
// `take` returning false (with a Python error set) stops the rest, and so
// does the result: false.
bool in_order_on_threads(std::size_t jobs, std::size_t files, const std::function<void(std::size_t)>& work,
                         const std::function<bool(std::size_t)>& take);

}  // namespace trelm::python
