// The decoded heads and measured lengths of the files the rows may play, kept in memory so that
// a stream opens and starts with no disk work; a worker decodes the heads asked for ahead.
// Control threads (the pool's own lock) and the pool's worker thread.
#pragma once

#include "decoder.h"
#include "streamer.h"

#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sonarello::sound
{

// A file opened for decoding, with its lengths measured.
struct OpenedFile
{
    FileMeasure measure;
    std::unique_ptr<Decoder> decoder;
    std::shared_ptr<const FileHold> hold; // what the decoder reads, kept for the streamer
};
std::optional<OpenedFile> openFile(const std::string& path);

class FilePool
{
  public:
    FilePool();
    ~FilePool();
    FilePool(const FilePool&) = delete;
    FilePool& operator=(const FilePool&) = delete;

    // Decodes the file's head now, on the caller's thread, replacing what the pool held of it.
    void preload(const std::string& path);
    // The same on the worker, without holding the caller.
    void prefetch(const std::string& path);
    bool preloaded(const std::string& path);
    // The file's head, now the most recently used; nullptr when it is not in the pool, or when
    // its file was cut or rewritten since (the head is no longer its start).
    std::shared_ptr<const DecodedHead> find(const std::string& path);

  private:
    void work();

    std::mutex mutex_;
    std::list<std::pair<std::string, std::shared_ptr<const DecodedHead>>> heads_; // newest first

    std::mutex queueMutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    bool quit_ = false;
    std::thread worker_;
};

} // namespace sonarello::sound
