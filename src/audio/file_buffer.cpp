// SPDX-License-Identifier: Apache-2.0
// FileBuffer: internal samples stored raw in a temporary file, written by one end and read
// by the other; the file goes when the last end detaches.
#include "audio/file_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/paths.h"

namespace quillet::audio {

FileBuffer::FileBuffer(uint32_t rate, uint32_t channels)
    : rate_(rate), channels_(channels == 0 ? 1 : channels) {}

FileBuffer::~FileBuffer() {
  std::lock_guard<std::mutex> guard(lock_);
  closeFileLocked();
}

bool FileBuffer::openFileLocked() {
  if (fd_ >= 0) return true;
  std::string name = platform::joinPath(platform::tempDir(), "tmpXXXXXX");
  std::vector<char> tmpl(name.begin(), name.end());
  tmpl.push_back('\0');
  const int fd = mkstemp(tmpl.data());
  if (fd < 0) return false;
  // The data is private to this process: nothing needs to find the file by name, so it is
  // unlinked at once and cannot be left behind, whatever happens to the process.
  ::unlink(tmpl.data());
  fd_ = fd;
  path_ = tmpl.data();
  readOffset_ = 0;
  writeOffset_ = 0;
  return true;
}

void FileBuffer::closeFileLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
  readOffset_ = 0;
  writeOffset_ = 0;
}

bool FileBuffer::IsDrained() {
  std::lock_guard<std::mutex> guard(lock_);
  return fd_ < 0 || readOffset_ == writeOffset_;
}

bool FileBuffer::isOpen() {
  std::lock_guard<std::mutex> guard(lock_);
  return fd_ >= 0;
}

std::string FileBuffer::path() {
  std::lock_guard<std::mutex> guard(lock_);
  return path_;
}

class FileBufferWriter : public AudioSink {
 public:
  explicit FileBufferWriter(FileBufferRef buffer)
      : AudioSink(buffer->rate_, buffer->channels_), buf_(std::move(buffer)) {
    std::lock_guard<std::mutex> guard(buf_->lock_);
    ++buf_->writers_;
    buf_->openFileLocked();
  }
  ~FileBufferWriter() override {
    {
      std::lock_guard<std::mutex> guard(buf_->lock_);
      --buf_->writers_;
      if (buf_->writers_ == 0 && buf_->readers_ == 0) buf_->closeFileLocked();
    }
    buf_->data_.set();
  }

  void Write(const int32_t* samples, uint32_t frames) override {
    position_ += frames;
    const size_t bytes = static_cast<size_t>(frames) * channels_ * 4;
    {
      std::lock_guard<std::mutex> guard(buf_->lock_);
      if (buf_->fd_ < 0) return;
      const auto* src = reinterpret_cast<const uint8_t*>(samples);
      size_t done = 0;
      while (done < bytes) {
        const ssize_t n = ::pwrite(buf_->fd_, src + done, bytes - done,
                                   static_cast<off_t>(buf_->writeOffset_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // disk full: the rest is lost, like a pipe without a reader
        done += static_cast<size_t>(n);
      }
      // Only whole frames count, so that a short write never misaligns the reader.
      buf_->writeOffset_ += done - done % (static_cast<size_t>(channels_) * 4);
    }
    buf_->data_.set();
  }

 private:
  FileBufferRef buf_;
};

class FileBufferReader : public AudioSource {
 public:
  explicit FileBufferReader(FileBufferRef buffer)
      : AudioSource(static_cast<int32_t>(buffer->rate_), buffer->channels_, kProgramPeakRange),
        buf_(std::move(buffer)),
        frameBytes_(buf_->channels_ * 4) {
    std::lock_guard<std::mutex> guard(buf_->lock_);
    ++buf_->readers_;
    buf_->openFileLocked();
  }
  ~FileBufferReader() override {
    std::lock_guard<std::mutex> guard(buf_->lock_);
    --buf_->readers_;
    if (buf_->writers_ == 0 && buf_->readers_ == 0) buf_->closeFileLocked();
  }

  void Read(int32_t* buffer, uint32_t frames) override {
    const size_t bytes = static_cast<size_t>(frames) * frameBytes_;
    auto* dst = reinterpret_cast<uint8_t*>(buffer);
    size_t done = 0;
    {
      std::lock_guard<std::mutex> guard(buf_->lock_);
      if (buf_->fd_ >= 0) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(bytes, buf_->writeOffset_ - buf_->readOffset_));
        while (done < want) {
          const ssize_t n = ::pread(buf_->fd_, dst + done, want - done,
                                    static_cast<off_t>(buf_->readOffset_ + done));
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        done -= done % frameBytes_;
        buf_->readOffset_ += done;
      }
    }
    std::memset(dst + done, 0, bytes - done);
  }

  uint32_t Position() override {
    std::lock_guard<std::mutex> guard(buf_->lock_);
    return static_cast<uint32_t>(buf_->readOffset_ / frameBytes_);
  }
  uint32_t Length() override {
    buf_->data_.reset();
    std::lock_guard<std::mutex> guard(buf_->lock_);
    return static_cast<uint32_t>(buf_->writeOffset_ / frameBytes_);
  }
  bool MoreComing() override {
    std::lock_guard<std::mutex> guard(buf_->lock_);
    return buf_->writers_ > 0;
  }
  void Wait(uint32_t ms) override { buf_->data_.wait(static_cast<int32_t>(ms)); }

 private:
  FileBufferRef buf_;
  uint32_t frameBytes_;
};

SinkRef OpenFileWriter(const FileBufferRef& buffer) {
  return SinkRef(new FileBufferWriter(buffer));
}

SourceRef OpenFileReader(const FileBufferRef& buffer) {
  return SourceRef(new FileBufferReader(buffer));
}

}  // namespace quillet::audio
