// Buffered binary file access for the index file: large reads and writes, and
// every failure reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace orv {

class FileWriter {
  public:
    // Writes into a temporary file beside path; commit() renames it into place.
    explicit FileWriter(const std::string& path);
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    void write(const void* data, size_t n);
    template <class T>
    void put(T v) {
        write(&v, sizeof(T));
    }
    void commit();

  private:
    void flush();
    [[noreturn]] void fail(const std::string& what);

    std::string path_;
    std::string target_;
    std::string tmp_;
    int fd_ = -1;
    std::vector<char> buf_;
    size_t used_ = 0;
};

class FileReader {
  public:
    explicit FileReader(const std::string& path);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    void read(void* data, size_t n);
    template <class T>
    T get() {
        T v;
        if (tail_ - head_ >= sizeof(T) && remaining() >= sizeof(T)) {
            std::memcpy(&v, buf_.data() + head_, sizeof(T));
            head_ += sizeof(T);
            pos_ += sizeof(T);
            return v;
        }
        read(&v, sizeof(T));
        return v;
    }
    uint64_t remaining() const { return size_ - pos_; }
    [[noreturn]] void fail(const std::string& what) const;

  private:
    void refill();

    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
    std::vector<char> buf_;
    size_t head_ = 0;
    size_t tail_ = 0;
};

}  // namespace orv
