#include "file_pool.h"

#include <algorithm>

namespace sonarello::sound
{

namespace
{

constexpr std::size_t kPooledFiles = 80; // the rows' files and a few they left

} // namespace

std::optional<OpenedFile> openFile(const std::string& path)
{
    OpenedFile file;
    file.hold = std::make_shared<const FileHold>(path);
    file.decoder = openDecoder(file.hold->isOpen() ? file.hold->path() : path);
    if (!file.decoder)
        return std::nullopt;
    file.measure = measureOf(*file.decoder, path);
    return file;
}

FilePool::FilePool() : worker_([this] { work(); }) {}

FilePool::~FilePool()
{
    {
        std::lock_guard lock(queueMutex_);
        quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void FilePool::preload(const std::string& path)
{
    auto file = openFile(path); // disk work outside the lock
    std::shared_ptr<DecodedHead> head;
    if (file)
    {
        head = decodeHead(*file->decoder, file->measure);
        head->file = file->hold;
    }
    std::lock_guard lock(mutex_);
    std::erase_if(heads_, [&](const auto& entry) { return entry.first == path; });
    if (!head)
        return;
    heads_.emplace_front(path, std::move(head));
    if (heads_.size() > kPooledFiles)
        heads_.pop_back();
}

void FilePool::prefetch(const std::string& path)
{
    {
        std::lock_guard lock(queueMutex_);
        if (std::find(queue_.begin(), queue_.end(), path) != queue_.end())
            return;
        queue_.push_back(path);
    }
    wake_.notify_one();
}

bool FilePool::preloaded(const std::string& path)
{
    std::lock_guard lock(mutex_);
    return std::any_of(heads_.begin(), heads_.end(),
                       [&](const auto& entry) { return entry.first == path; });
}

std::shared_ptr<const DecodedHead> FilePool::find(const std::string& path)
{
    std::lock_guard lock(mutex_);
    for (auto it = heads_.begin(); it != heads_.end(); ++it)
        if (it->first == path)
        {
            if (it->second->file && it->second->file->changed())
            {
                heads_.erase(it);
                return nullptr;
            }
            heads_.splice(heads_.begin(), heads_, it);
            return it->second;
        }
    return nullptr;
}

// Worker thread: decodes the heads asked for by prefetch(), oldest first.
void FilePool::work()
{
    std::unique_lock lock(queueMutex_);
    while (true)
    {
        wake_.wait(lock, [this] { return quit_ || !queue_.empty(); });
        if (quit_)
            return;
        const std::string path = queue_.front();
        queue_.pop_front();
        lock.unlock();
        if (!preloaded(path))
            preload(path);
        lock.lock();
    }
}

} // namespace sonarello::sound
