#pragma once

// The memory behind the simulated host's handles. Like a real host's memory manager it keeps
// the blocks of disposed handles and hands them out again, so that a render whose working
// layers come and go does not fault the same amount of fresh memory in again and again.
//
// Small blocks are kept whole: the smallest kept block that holds a request serves it, and a
// request no kept block holds gives every kept small block back to the system before a fresh
// one is taken, so keeping never adds to the peak.
//
// Large blocks are runs of whole huge pages mapped from the system. Their pages are what is
// kept, not the blocks: a request takes the smallest kept run that holds it and leaves the rest
// of that run kept; a request no kept run holds is made of kept runs moved side by side into
// one range (the system moves their pages, it does not copy or clear them) and fresh pages only
// for what they lack. A large block's pages are therefore faulted in once, however the layers
// that use them change shape, and what is mapped never exceeds the most that was live at once.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace brel::sim {

// Gives a handle's block back to where it came from: the system's heap or its mapped pages.
struct Handle_Release {
  size_t mapped = 0;  // bytes mapped from the system; 0 for a heap block
  void operator()(std::byte* block) const noexcept;
};

class Handle_Memory {
 public:
  // Blocks of at least this many bytes are made of kept pages.
  static constexpr size_t large_block = size_t{2} << 20;

  using Release = Handle_Release;
  using Block = std::unique_ptr<std::byte[], Release>;

  struct Taken {
    Block block;          // null when the system has no memory
    size_t capacity = 0;  // at least the size asked for
    bool reused = false;  // made at least in part of kept memory
  };

  Handle_Memory() = default;
  Handle_Memory(const Handle_Memory&) = delete;
  Handle_Memory& operator=(const Handle_Memory&) = delete;

  // A block for a request of `size` bytes. Every byte of it is filled with the scribble when
  // one is set. Takes and gives back may come from any thread.
  Taken take(size_t size);
  // Keeps a block `take` handed out, with the capacity it said.
  void give_back(Block block, size_t capacity) noexcept;

  void set_scribble(std::byte value);

  // Requests that took memory from the system, requests served at least in part by kept
  // memory, and the bytes taken from the system for all requests, so far.
  int64_t fresh_blocks() const;
  int64_t reused_blocks() const;
  int64_t fresh_bytes() const;
  // Bytes of large blocks mapped by every instance in the process and not yet unmapped.
  static int64_t mapped_bytes();

 private:
  Taken take_small(size_t size, std::optional<std::byte> scribble);
  Taken take_large(size_t size, std::optional<std::byte> scribble);

  mutable std::mutex mutex_;
  std::multimap<size_t, Block> kept_small_;  // by capacity
  std::multimap<size_t, Block> kept_large_;  // by capacity
  int64_t fresh_blocks_ = 0;
  int64_t reused_blocks_ = 0;
  int64_t fresh_bytes_ = 0;
  std::optional<std::byte> scribble_;
};

}  // namespace brel::sim
