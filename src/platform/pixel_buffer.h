#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/thread_annotations.h"

namespace pelorin::platform {

// Four-character code of 8-bit 4:2:0 bi-planar luma/chroma, video range (NV12).
constexpr std::uint32_t pixelFormat420v = 0x34323076;  // '420v'

// An image in memory with planes. Shared by reference count; a pooled buffer returns to its
// pool when the last reference goes.
class PixelBuffer {
 public:
  virtual ~PixelBuffer() = default;
  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual std::uint32_t pixelFormat() const = 0;
  virtual int planeCount() const = 0;
  virtual int planeWidth(int plane) const = 0;
  virtual int planeHeight(int plane) const = 0;
  virtual std::size_t bytesPerRow(int plane) const = 0;
  // Base address of a plane; only valid between lock() and unlock().
  virtual std::uint8_t* planeBase(int plane) = 0;
  // Returns false when the buffer cannot be locked.
  virtual bool lock(bool readOnly) = 0;
  virtual void unlock(bool readOnly) = 0;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// A fixed-size pool of NV12 video-range buffers in ordinary memory, rows aligned to 64 bytes.
// Buffers come back to the pool when released; the pool may grow past its minimum when all
// buffers are in use, up to maximumCount (0 = unbounded), after which makeBuffer() fails.
class NV12BufferPool : public std::enable_shared_from_this<NV12BufferPool> {
 public:
  static std::shared_ptr<NV12BufferPool> create(int width, int height, std::size_t maximumCount = 0);

  // A buffer from the pool, or nullptr when the pool is exhausted.
  PixelBufferRef makeBuffer();
  int width() const { return width_; }
  int height() const { return height_; }
  // Buffers currently handed out.
  std::size_t inUse() const;

  NV12BufferPool(int width, int height, std::size_t maximumCount);
  ~NV12BufferPool();

 private:
  class Buffer;
  void giveBack(std::unique_ptr<Buffer> buffer);

  int width_;
  int height_;
  std::size_t maximumCount_;
  mutable Mutex mutex_;
  std::vector<std::unique_ptr<Buffer>> free_ GUARDED_BY(mutex_);
  std::size_t created_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pelorin::platform
