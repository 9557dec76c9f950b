#include "platform/pixel_buffer.h"

#include <cstdlib>
#include <cstring>

namespace pelorin::platform {
namespace {

constexpr std::size_t rowAlignment = 64;

std::size_t alignedRow(int width) {
  const auto w = static_cast<std::size_t>(width);
  return (w + rowAlignment - 1) / rowAlignment * rowAlignment;
}

}  // namespace

class NV12BufferPool::Buffer final : public PixelBuffer {
 public:
  Buffer(int width, int height)
      : width_(width),
        height_(height),
        stride_(alignedRow(width)),
        chromaRows_((height + 1) / 2),
        bytes_(static_cast<std::uint8_t*>(
            std::aligned_alloc(rowAlignment, stride_ * (static_cast<std::size_t>(height) + chromaRows_)))) {
    std::memset(bytes_.get(), 0, stride_ * (static_cast<std::size_t>(height) + chromaRows_));
  }

  int width() const override { return width_; }
  int height() const override { return height_; }
  std::uint32_t pixelFormat() const override { return pixelFormat420v; }
  int planeCount() const override { return 2; }
  int planeWidth(int plane) const override { return plane == 0 ? width_ : (width_ + 1) / 2; }
  int planeHeight(int plane) const override { return plane == 0 ? height_ : chromaRows_; }
  std::size_t bytesPerRow(int) const override { return stride_; }
  std::uint8_t* planeBase(int plane) override {
    if (plane == 0) return bytes_.get();
    if (plane == 1) return bytes_.get() + stride_ * static_cast<std::size_t>(height_);
    return nullptr;
  }
  bool lock(bool) override { return true; }
  void unlock(bool) override {}

 private:
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  int width_;
  int height_;
  std::size_t stride_;
  int chromaRows_;
  std::unique_ptr<std::uint8_t, Free> bytes_;
};

std::shared_ptr<NV12BufferPool> NV12BufferPool::create(int width, int height, std::size_t maximumCount) {
  if (width < 1 || height < 1) return nullptr;
  return std::make_shared<NV12BufferPool>(width, height, maximumCount);
}

NV12BufferPool::NV12BufferPool(int width, int height, std::size_t maximumCount)
    : width_(width), height_(height), maximumCount_(maximumCount) {}

NV12BufferPool::~NV12BufferPool() = default;

PixelBufferRef NV12BufferPool::makeBuffer() {
  std::unique_ptr<Buffer> buffer;
  {
    MutexLock lock(mutex_);
    if (!free_.empty()) {
      buffer = std::move(free_.back());
      free_.pop_back();
    } else if (maximumCount_ == 0 || created_ < maximumCount_) {
      ++created_;
    } else {
      return nullptr;
    }
  }
  if (!buffer) buffer = std::make_unique<Buffer>(width_, height_);
  std::weak_ptr<NV12BufferPool> pool = weak_from_this();
  return PixelBufferRef(buffer.release(), [pool](PixelBuffer* released) {
    std::unique_ptr<Buffer> owned(static_cast<Buffer*>(released));
    if (auto alive = pool.lock()) alive->giveBack(std::move(owned));
  });
}

std::size_t NV12BufferPool::inUse() const {
  MutexLock lock(mutex_);
  return created_ - free_.size();
}

void NV12BufferPool::giveBack(std::unique_ptr<Buffer> buffer) {
  MutexLock lock(mutex_);
  free_.push_back(std::move(buffer));
}

}  // namespace pelorin::platform
