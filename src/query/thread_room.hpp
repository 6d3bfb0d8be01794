// Buffers kept from one use to the next on a thread. Work done thousands of
// times over a project (a file's lineage, each scan of a reference) keeps
// its lists' capacity instead of making them anew: each use borrows its
// thread's room, emptied; a use within a use finds it taken and makes one
// of its own.
#pragma once

#include <optional>

namespace trelm::query {

// `Room` has clear(), which empties it and keeps its capacity. It is
// emptied when borrowed, not when given back: giving back cannot fail.
template <typename Room>
class ThreadRoom {
 public:
  ThreadRoom() : room_(borrow()) { room_->clear(); }
  ~ThreadRoom() {
    if (!own_) thread_spare().taken = false;
  }
  ThreadRoom(const ThreadRoom&) = delete;
  ThreadRoom& operator=(const ThreadRoom&) = delete;

  Room& get() { return *room_; }

 private:
  struct Spare {
    Room room;
    bool taken = false;
  };

  static Spare& thread_spare() {
    thread_local Spare spare;
    return spare;
  }

  Room* borrow() {
    Spare& spare = thread_spare();
    if (!spare.taken) {
      spare.taken = true;
      return &spare.room;
    }
    own_.emplace();
    return &*own_;
  }

  std::optional<Room> own_;  // none unless the thread's room is taken
  Room* room_;
};

}  // namespace trelm::query
