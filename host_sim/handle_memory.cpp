#include "handle_memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace brel::sim {

namespace {

std::atomic<int64_t> mapped_total{0};

// A run of whole huge pages, aligned to one so that moving it moves whole page-table entries
// instead of splitting them; null when the system has none.
std::byte* map_run(size_t bytes) {
  const size_t slack = Handle_Memory::large_block;
  void* mapped =
      ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    return nullptr;
  }
  const auto start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t begin = (start + slack - 1) / slack * slack;
  if (begin > start) {
    ::munmap(mapped, begin - start);
  }
  if (const uintptr_t end = start + bytes + slack; end > begin + bytes) {
    ::munmap(reinterpret_cast<void*>(begin + bytes), end - (begin + bytes));
  }
  ::madvise(reinterpret_cast<void*>(begin), bytes, MADV_HUGEPAGE);
  mapped_total.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
  return reinterpret_cast<std::byte*>(begin);
}

// Splits the kept run `run` of `capacity` bytes: the first `bytes` are returned, the rest is
// kept in `kept`.
Handle_Memory::Block split_run(Handle_Memory::Block run, size_t capacity, size_t bytes,
                               std::multimap<size_t, Handle_Memory::Block>& kept) {
  if (capacity > bytes) {
    // Should keeping the rest fail, the exception gives both parts back to the system.
    Handle_Memory::Block rest(run.get() + bytes, Handle_Memory::Release{capacity - bytes});
    run.get_deleter().mapped = bytes;
    kept.emplace(capacity - bytes, std::move(rest));
  }
  return run;
}

// Moves the pages of a run onto `to`, replacing what is there, and returns how many bytes of
// its start moved. Systems before Linux 6.17 move only within one mapping, and a run made up
// earlier spans several: they move it a huge page at a time (no mapping boundary falls inside
// one).
size_t move_run(std::byte* from, size_t bytes, std::byte* to) {
  constexpr int flags = MREMAP_MAYMOVE | MREMAP_FIXED;
  if (::mremap(from, bytes, bytes, flags, to) != MAP_FAILED) {
    return bytes;
  }
  const size_t step = Handle_Memory::large_block;
  size_t done = 0;
  while (done < bytes && ::mremap(from + done, step, step, flags, to + done) != MAP_FAILED) {
    done += step;
  }
  return done;
}

}  // namespace

void Handle_Release::operator()(std::byte* block) const noexcept {
  if (mapped == 0) {
    delete[] block;
    return;
  }
  ::munmap(block, mapped);
  mapped_total.fetch_sub(static_cast<int64_t>(mapped), std::memory_order_relaxed);
}

Handle_Memory::Taken Handle_Memory::take(size_t size) {
  std::optional<std::byte> scribble;
  {
    std::lock_guard lock(mutex_);
    scribble = scribble_;
  }
  return size >= large_block ? take_large(size, scribble) : take_small(size, scribble);
}

Handle_Memory::Taken Handle_Memory::take_small(size_t size, std::optional<std::byte> scribble) {
  Taken taken;
  taken.capacity = size > 0 ? size : 1;
  std::multimap<size_t, Block> given_back;
  {
    std::lock_guard lock(mutex_);
    auto kept = kept_small_.lower_bound(taken.capacity);
    if (kept != kept_small_.end()) {
      taken.capacity = kept->first;
      taken.block = std::move(kept->second);
      taken.reused = true;
      kept_small_.erase(kept);
      ++reused_blocks_;
    } else {
      given_back.swap(kept_small_);
    }
  }
  // Freed and taken outside the lock: other render threads go on meanwhile.
  given_back.clear();
  if (!taken.block) {
    taken.block.reset(new (std::nothrow) std::byte[taken.capacity]);
    if (!taken.block) {
      return {};
    }
    std::lock_guard lock(mutex_);
    ++fresh_blocks_;
    fresh_bytes_ += static_cast<int64_t>(taken.capacity);
  }
  if (scribble) {
    std::memset(taken.block.get(), static_cast<int>(*scribble), taken.capacity);
  }
  return taken;
}

Handle_Memory::Taken Handle_Memory::take_large(size_t size, std::optional<std::byte> scribble) {
  const size_t bytes = (size + large_block - 1) / large_block * large_block;
  Taken taken;
  taken.capacity = bytes;
  // Kept runs to move into a new range when no single one holds the request, largest first.
  std::vector<std::pair<Block, size_t>> pieces;
  {
    std::lock_guard lock(mutex_);
    auto fit = kept_large_.lower_bound(bytes);
    if (fit != kept_large_.end()) {
      const size_t capacity = fit->first;
      Block run = std::move(fit->second);
      kept_large_.erase(fit);
      taken.block = split_run(std::move(run), capacity, bytes, kept_large_);
      taken.reused = true;
      ++reused_blocks_;
    } else {
      size_t gathered = 0;
      while (gathered < bytes && !kept_large_.empty()) {
        auto largest = std::prev(kept_large_.end());
        const size_t capacity = largest->first;
        Block run = std::move(largest->second);
        kept_large_.erase(largest);
        const size_t used = std::min(capacity, bytes - gathered);
        pieces.emplace_back(split_run(std::move(run), capacity, used, kept_large_), used);
        gathered += used;
      }
    }
  }
  if (!taken.block) {
    std::byte* range = map_run(bytes);
    if (range == nullptr) {
      std::lock_guard lock(mutex_);
      for (auto& [piece, capacity] : pieces) {
        kept_large_.emplace(capacity, std::move(piece));
      }
      return {};
    }
    taken.block = Block(range, Release{bytes});
    // Each piece's pages take the place of untouched fresh pages; what the system cannot move
    // stays kept, and fresh pages stand in for it.
    size_t offset = 0;
    size_t moved = 0;
    std::vector<std::pair<Block, size_t>> unmoved;
    unmoved.reserve(pieces.size());
    for (auto& [piece, capacity] : pieces) {
      const size_t done = move_run(piece.get(), capacity, range + offset);
      offset += capacity;
      // What moved is now part of the range, which counted it already.
      mapped_total.fetch_sub(static_cast<int64_t>(done), std::memory_order_relaxed);
      moved += done;
      if (done == capacity) {
        piece.release();
        continue;
      }
      if (done > 0) {
        std::byte* start = piece.release();
        piece = Block(start + done, Release{capacity - done});
      }
      unmoved.emplace_back(std::move(piece), capacity - done);
    }
    std::lock_guard lock(mutex_);
    for (auto& [piece, capacity] : unmoved) {
      kept_large_.emplace(capacity, std::move(piece));
    }
    if (moved > 0) {
      taken.reused = true;
      ++reused_blocks_;
    }
    if (moved < bytes) {
      ++fresh_blocks_;
      fresh_bytes_ += static_cast<int64_t>(bytes - moved);
    }
  }
  if (scribble) {
    std::memset(taken.block.get(), static_cast<int>(*scribble), taken.capacity);
  }
  return taken;
}

void Handle_Memory::give_back(Block block, size_t capacity) noexcept {
  if (!block) {
    return;
  }
  try {
    std::lock_guard lock(mutex_);
    auto& kept = block.get_deleter().mapped > 0 ? kept_large_ : kept_small_;
    kept.emplace(capacity, std::move(block));
  } catch (...) {
    // No room to keep it: the block goes back to the system.
  }
}

void Handle_Memory::set_scribble(std::byte value) {
  std::lock_guard lock(mutex_);
  scribble_ = value;
}

int64_t Handle_Memory::fresh_blocks() const {
  std::lock_guard lock(mutex_);
  return fresh_blocks_;
}

int64_t Handle_Memory::reused_blocks() const {
  std::lock_guard lock(mutex_);
  return reused_blocks_;
}

int64_t Handle_Memory::fresh_bytes() const {
  std::lock_guard lock(mutex_);
  return fresh_bytes_;
}

int64_t Handle_Memory::mapped_bytes() {
  return mapped_total.load(std::memory_order_relaxed);
}

}  // namespace brel::sim
