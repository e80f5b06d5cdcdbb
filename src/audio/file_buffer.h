// SPDX-License-Identifier: Apache-2.0
// FileBuffer: a pipe without a size limit, backed by a temporary file. The line keeps one
// to collect speech while an intercom call is set up.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio/audio_stream.h"
#include "platform/event.h"

namespace quillet::audio {

class FileBuffer {
 public:
  FileBuffer(uint32_t rate, uint32_t channels);
  ~FileBuffer();
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;

  // True when no file is open or everything written has been read.
  bool IsDrained();
  // True while the temporary file exists (from the first attach until the last end goes).
  bool isOpen();
  // Path the temporary file was created under; empty while none is open. The file is
  // unlinked as soon as both handles exist, so it never outlives the process either.
  std::string path();

  uint32_t rate() const { return rate_; }
  uint32_t channels() const { return channels_; }

 private:
  friend class FileBufferWriter;
  friend class FileBufferReader;
  friend SinkRef OpenFileWriter(const std::shared_ptr<FileBuffer>& buffer);
  friend SourceRef OpenFileReader(const std::shared_ptr<FileBuffer>& buffer);

  // All under lock_.
  bool openFileLocked();
  void closeFileLocked();

  uint32_t rate_;
  uint32_t channels_;
  std::mutex lock_;
  platform::Event data_{platform::Event::Reset::Manual};
  int fd_ = -1;
  std::string path_;
  uint64_t readOffset_ = 0;   // bytes
  uint64_t writeOffset_ = 0;  // bytes (the file's size)
  // Counts rather than flags, so that a second writer end handed out while the first
  // still exists does not detach the buffer when the first goes.
  uint32_t writers_ = 0;
  uint32_t readers_ = 0;
};

using FileBufferRef = std::shared_ptr<FileBuffer>;

// Writer end: appends every block to the file and sets the data event. When the last end
// goes, the file is closed and deleted.
SinkRef OpenFileWriter(const FileBufferRef& buffer);

// Reader end (peak range 524272): Read zero-fills what the file does not hold yet; Position
// is the read offset, Length the file size (frames), MoreComing while a writer is attached,
// Wait waits for the data event.
SourceRef OpenFileReader(const FileBufferRef& buffer);

}  // namespace quillet::audio
