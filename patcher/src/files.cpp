// Reading files: on-demand access, copies and byte-for-byte comparison,
// and the UTF-8 names the tool uses for paths.
#include "files.hpp"

#include "sys.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <ostream>
#include <set>
#include <streambuf>
#include <system_error>

namespace fs = std::filesystem;

namespace sndlatch {

namespace {

constexpr size_t kCopyChunk = 256 * 1024;

// Compares what is written to it with a file. Positions that differ are
// remembered until they are written again, so that a field written as zero
// first and filled in later (the checksum) is judged by its last value.
class CompareBuf : public std::streambuf {
  public:
    explicit CompareBuf(const ByteSource &file) : file_(file) {}
    bool same() const {
        if (error_)
            std::rethrow_exception(error_);
        return !differs_for_good_ && differing_.empty() && end_ == file_.size();
    }

  protected:
    std::streamsize xsputn(const char *s, std::streamsize n) override {
        const auto *data = reinterpret_cast<const uint8_t *>(s);
        try {
            for (size_t done = 0; done < size_t(n) && !differs_for_good_;) {
                const size_t len = std::min(size_t(n) - done, kCopyChunk);
                compare(pos_ + done, data + done, len);
                done += len;
            }
        } catch (const std::exception &) {
            error_ = std::current_exception();
            differs_for_good_ = true;
        }
        pos_ += size_t(n);
        end_ = std::max(end_, pos_);
        return n;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
        return c;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (dir == std::ios_base::cur)
            off += off_type(pos_);
        else if (dir != std::ios_base::beg)
            return pos_type(off_type(-1));
        if (off < 0)
            return pos_type(off_type(-1));
        pos_ = size_t(off);
        return pos_type(off);
    }
    pos_type seekpos(pos_type p, std::ios_base::openmode mode) override {
        return seekoff(off_type(p), std::ios_base::beg, mode);
    }

  private:
    static constexpr size_t kMaxDiffering = 64;

    void compare(size_t pos, const uint8_t *data, size_t len) {
        if (pos > file_.size() || file_.size() - pos < len) {
            differs_for_good_ = true; // longer than the file
            return;
        }
        buffer_.resize(len);
        file_.read(pos, buffer_.data(), len);
        differing_.erase(differing_.lower_bound(pos), differing_.lower_bound(pos + len));
        if (std::memcmp(buffer_.data(), data, len) == 0)
            return;
        for (size_t i = 0; i < len; ++i)
            if (buffer_[i] != data[i])
                differing_.insert(pos + i);
        differs_for_good_ = differing_.size() > kMaxDiffering;
    }

    const ByteSource &file_;
    size_t pos_ = 0, end_ = 0;
    std::set<size_t> differing_;
    bool differs_for_good_ = false;
    std::exception_ptr error_;
    Bytes buffer_;
};

} // namespace

fs::path fs_path(const std::string &utf8) {
    return fs::u8path(utf8);
}

std::string utf8_name(const fs::path &path) {
    return path.u8string();
}

bool name_is(const fs::path &file, const std::string &name) {
    const fs::path::string_type s = file.filename().native();
    auto lower = [](int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    return s.size() == name.size() &&
           std::equal(s.begin(), s.end(), name.begin(),
                      [&](auto x, char y) { return lower(int(x)) == lower(y); });
}

bool is_folder(const std::string &name) {
    std::error_code ec;
    return fs::is_directory(fs_path(name), ec);
}

fs::path full_folder_of(const std::string &path) {
    std::error_code ec;
    const fs::path full = fs::absolute(fs_path(path), ec);
    return (ec ? fs_path(path) : full).lexically_normal().parent_path();
}

std::string errno_reason(const char *fallback) {
    const int code = errno;
    if (code == 0)
        return fallback;
    // Worded like the other reasons: "no such file or directory".
    std::string s = std::generic_category().message(code);
    if (s.size() > 1 && s[0] >= 'A' && s[0] <= 'Z' && s[1] >= 'a' && s[1] <= 'z')
        s[0] = char(s[0] - 'A' + 'a');
    return s;
}

std::shared_ptr<FileSource> FileSource::open(const std::string &path, std::string &error) {
    std::error_code ec;
    if (fs::is_directory(fs_path(path), ec)) {
        error = "is a folder, not a program";
        return nullptr;
    }
    std::shared_ptr<FileSource> f(new FileSource);
    f->name_ = path;
    errno = 0;
    f->in_.open(fs_path(path), std::ios::binary);
    if (!f->in_) {
        error = "cannot open it: " + errno_reason("it cannot be read");
        return nullptr;
    }
    const std::streamoff size = f->in_.seekg(0, std::ios::end).tellg();
    if (!f->in_ || size < 0) {
        error = "read error";
        return nullptr;
    }
    // A file too big for size_t is too big for a 32-bit program anyway;
    // the parser refuses it by its size.
    f->size_ = uint64_t(size) > SIZE_MAX ? SIZE_MAX : size_t(size);
    return f;
}

void FileSource::read_file(size_t off, void *dst, size_t len) const {
    in_.clear();
    errno = 0;
    in_.seekg(std::streamoff(off));
    in_.read(static_cast<char *>(dst), std::streamsize(len));
    if (!in_ || size_t(in_.gcount()) != len)
        throw ReadError("cannot read " + name_ + ": " +
                        errno_reason("it is shorter than it was (it changed while it was read)"));
}

void FileSource::read_checked(size_t off, void *dst, size_t len) const {
    if (len >= kBlock) {
        read_file(off, dst, len);
        return;
    }
    uint8_t *to = static_cast<uint8_t *>(dst);
    while (len != 0) {
        const size_t index = off / kBlock, in = off % kBlock;
        auto it = blocks_.find(index);
        if (it == blocks_.end()) {
            if (blocks_.size() >= kMaxBlocks)
                blocks_.clear();
            Bytes block(std::min(kBlock, size_ - index * kBlock));
            read_file(index * kBlock, block.data(), block.size());
            it = blocks_.emplace(index, std::move(block)).first;
        }
        const size_t n = std::min(len, it->second.size() - in);
        std::memcpy(to, it->second.data() + in, n);
        to += n;
        off += n;
        len -= n;
    }
}

void write_copy(const ByteSource &source, std::ostream &out) {
    Bytes buffer(std::min(source.size(), kCopyChunk));
    for (size_t done = 0; done < source.size() && out;) {
        const size_t n = std::min(buffer.size(), source.size() - done);
        source.read(done, buffer.data(), n);
        out.write(reinterpret_cast<const char *>(buffer.data()), std::streamsize(n));
        done += n;
    }
}

bool same_bytes(const ByteSource &file, const Writer &write) {
    CompareBuf buf(file);
    std::ostream out(&buf);
    write(out);
    return buf.same() && out;
}

// The stream side of NewFile; sys_*.cpp write the buffer to the file.
NewFile::int_type NewFile::overflow(int_type c) {
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize NewFile::xsputn(const char *s, std::streamsize n) {
    std::streamsize done = 0;
    while (done < n && (pptr() < epptr() || drain())) {
        const std::streamsize k = std::min<std::streamsize>(n - done, epptr() - pptr());
        std::memcpy(pptr(), s + done, size_t(k));
        pbump(int(k));
        done += k;
    }
    return done;
}

int NewFile::sync() {
    return drain() ? 0 : -1;
}

NewFile::pos_type NewFile::seekpos(pos_type p, std::ios_base::openmode mode) {
    return seekoff(off_type(p), std::ios_base::beg, mode);
}

} // namespace sndlatch
