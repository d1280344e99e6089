#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace orv {

namespace {

constexpr size_t BUF_SIZE = size_t(1) << 20;

std::string errno_text() { return std::strerror(errno); }

// A NUL byte would cut the name short for the OS, so such a name is refused; the
// message shows it as \0.
std::string open_error(const char* what, const std::string& path) {
    std::string shown;
    for (char c : path) {
        if (c == '\0')
            shown += "\\0";
        else
            shown += c;
    }
    std::string msg = std::string(what) + shown;
    if (shown.size() != path.size()) msg += " (the name holds a NUL byte)";
    return msg;
}

// Saving through a symbolic link replaces the file it points to, not the link.
std::string resolve_target(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) != nullptr) return real;
    }
    return path;
}

mode_t new_file_mode(const std::string& target) {
    struct stat st;
    if (stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

FileWriter::FileWriter(const std::string& path) : path_(path) {
    const std::string err = open_error("Cannot open file for saving: ", path);
    if (path.empty() || path.find('\0') != std::string::npos) throw std::runtime_error(err);
    target_ = resolve_target(path);
    struct stat st;
    const bool exists = stat(target_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) throw std::runtime_error(err);
    buf_.resize(BUF_SIZE);
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or pipe is written in place; renaming over it would replace it.
        // Non-blocking open: a FIFO without a reader fails instead of hanging.
        fd_ = open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) throw std::runtime_error(err);
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        return;
    }
    tmp_ = target_ + ".tmpXXXXXX";
    fd_ = mkstemp(tmp_.data());
    if (fd_ < 0) throw std::runtime_error(err);
    fchmod(fd_, new_file_mode(target_));
}

FileWriter::~FileWriter() {
    if (fd_ >= 0) {
        close(fd_);
        if (!tmp_.empty()) unlink(tmp_.c_str());
    }
}

void FileWriter::fail(const std::string& what) {
    const std::string msg = "Cannot save index to " + path_ + ": " + what;
    close(fd_);
    if (!tmp_.empty()) unlink(tmp_.c_str());
    fd_ = -1;
    throw std::runtime_error(msg);
}

void FileWriter::flush() {
    size_t done = 0;
    while (done < used_) {
        const ssize_t w = ::write(fd_, buf_.data() + done, used_ - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail("write failed (" + errno_text() + ")");
        done += size_t(w);
    }
    used_ = 0;
}

void FileWriter::write(const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        if (used_ == buf_.size()) flush();
        const size_t take = std::min(n, buf_.size() - used_);
        std::memcpy(buf_.data() + used_, p, take);
        used_ += take;
        p += take;
        n -= take;
    }
}

void FileWriter::commit() {
    flush();
    if (tmp_.empty()) {
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0)
            throw std::runtime_error("Cannot save index to " + path_ + ": close failed (" +
                                     errno_text() + ")");
        return;
    }
    if (fsync(fd_) != 0) fail("sync failed (" + errno_text() + ")");
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        unlink(tmp_.c_str());
        throw std::runtime_error("Cannot save index to " + path_ + ": close failed (" +
                                 errno_text() + ")");
    }
    if (rename(tmp_.c_str(), target_.c_str()) != 0) {
        const std::string err = errno_text();
        unlink(tmp_.c_str());
        throw std::runtime_error("Cannot save index to " + path_ + ": rename failed (" + err + ")");
    }
}

FileReader::FileReader(const std::string& path) : path_(path) {
    const std::string err = open_error("Cannot open file for loading: ", path);
    if (path.find('\0') != std::string::npos) throw std::runtime_error(err);
    // Non-blocking open: a FIFO without a writer must not hang the caller; only
    // regular files are read.
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error(err);
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd_);
        fd_ = -1;
        throw std::runtime_error(err);
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    size_ = uint64_t(st.st_size);
    buf_.resize(size_t(std::min<uint64_t>(BUF_SIZE, std::max<uint64_t>(size_, 1))));
}

FileReader::~FileReader() {
    if (fd_ >= 0) close(fd_);
}

void FileReader::fail(const std::string& what) const {
    throw std::runtime_error("Cannot load index from " + path_ + ": " + what);
}

void FileReader::refill() {
    head_ = tail_ = 0;
    for (;;) {
        const ssize_t r = ::read(fd_, buf_.data(), buf_.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) fail("read failed (" + errno_text() + ")");
        if (r == 0) fail("the file ends early, at byte " + std::to_string(pos_));
        tail_ = size_t(r);
        return;
    }
}

void FileReader::read(void* data, size_t n) {
    if (n > remaining()) fail("the file ends early, at byte " + std::to_string(size_));
    char* p = static_cast<char*>(data);
    while (n > 0) {
        if (head_ == tail_ && n >= buf_.size()) {
            // Large reads go straight to their destination.
            const ssize_t r = ::read(fd_, p, n);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) fail("read failed (" + errno_text() + ")");
            if (r == 0) fail("the file ends early, at byte " + std::to_string(pos_));
            p += r;
            pos_ += uint64_t(r);
            n -= size_t(r);
            continue;
        }
        if (head_ == tail_) refill();
        const size_t take = std::min(n, tail_ - head_);
        std::memcpy(p, buf_.data() + head_, take);
        head_ += take;
        pos_ += take;
        p += take;
        n -= take;
    }
}

}  // namespace orv
