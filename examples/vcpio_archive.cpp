// Reading an archive file through the block reader. The reader asks for
// whole blocks by index; they come from pread, the last one completed with
// zeros. Nothing of the archive is trusted: the reader keeps every read
// inside its window, and a walk that stops short of the trailer is
// reported as damage, never taken for the archive's end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vcpio.h"

namespace vcpio {

namespace {

// Names up to PATH_MAX - 1 bytes; longer ones are skipped with a warning.
constexpr uint32_t name_buf_size = 4096;
char name_buf[name_buf_size];

void free_window(void *, void *p) { std::free(p); }

// Reads up to len bytes at offset; returns how many (short only at the
// end of the file), or -1 with errno.
ssize_t pread_full(int fd, void *dst, size_t len, uint64_t offset) {
    size_t got = 0;
    while (got < len) {
        const ssize_t n = pread(fd, static_cast<char *>(dst) + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

struct Probe {
    bool asked = false;
};

void *refuse_window(void *user, uint32_t) {
    static_cast<Probe *>(user)->asked = true;
    return nullptr;
}

int32_t no_blocks(void *, void *, uint32_t, uint32_t, uint32_t) { return 0; }

}  // namespace

// The reader asks for its window only once it has accepted the block size.
bool block_size_accepted(uint32_t block_size) {
    Probe probe;
    cpioreadex_ctx ctx{};
    cpioreadex_init(&ctx, block_size, no_blocks, nullptr, refuse_window, free_window, &probe);
    return probe.asked;
}

Archive::~Archive() {
    if (ready_) cpioreadex_deinit(&ctx_);
    if (fd_ >= 0) close(fd_);
}

void *Archive::alloc_window(void *user, uint32_t size) {
    void *p = std::malloc(size);
    if (p == nullptr) static_cast<Archive *>(user)->window_refused_ = true;
    return p;
}

int32_t Archive::read_blocks(void *user, void *dst, uint32_t block_size, uint32_t first, uint32_t count) {
    auto *self = static_cast<Archive *>(user);
    const size_t want = size_t{block_size} * count;
    const ssize_t n = pread_full(self->fd_, dst, want, uint64_t{first} * block_size);
    if (n < 0) {
        if (self->read_error_ == 0) self->read_error_ = errno;
        return 0;
    }
    const auto got = static_cast<size_t>(n);
    if (got % block_size != 0) std::memset(static_cast<char *>(dst) + got, 0, block_size - got % block_size);
    return static_cast<int32_t>((got + block_size - 1) / block_size);
}

bool Archive::open(const std::string &path, uint32_t block_size, Console &con) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return con.fail("", cause(errno)), false;
    struct stat st {};
    if (fstat(fd_, &st) != 0) return con.fail("", cause(errno)), false;
    if (S_ISDIR(st.st_mode)) return con.fail("", cause(EISDIR)), false;
    file_size_ = static_cast<uint64_t>(st.st_size);
    sized_ = S_ISREG(st.st_mode);
    if (cpioreadex_init(&ctx_, block_size, read_blocks, this, alloc_window, free_window, this) == &ctx_) {
        ready_ = true;
        return true;
    }
    if (window_refused_) return con.fail("", cause(ENOMEM)), false;
    if (read_error_ != 0) return con.fail("", cause(read_error_)), false;
    if (file_size_ == 0) return con.fail("", "empty file, not a cpio archive"), false;
    return con.fail("", "not a cpio archive (no newc, odc or bin header at its start)"), false;
}

const char *Archive::format() const {
    if (ctx_.ops == &cpio_ops__newc) return "newc";
    if (ctx_.ops == &cpio_ops__odc) return "odc";
    if (ctx_.ops == &cpio_ops__bin) return "bin";
    return "?";
}

bool Archive::walk(Console &con, const Visit &visit) {
    Entry e;
    cpioreadex_init_entity(&e, name_buf, name_buf_size);
    uint64_t at = 0;  // where the entry asked for lies
    for (Entry *p = cpioreadex_first(&ctx_, &e);; p = cpioreadex_next(&ctx_, &e)) {
        if (p != nullptr) {
            // The reader sees the zeros that complete the last block; the
            // file's size tells where the archive really ends.
            if (sized_ && e.data_offset + e.filesize > file_size_)
                return con.fail(name_buf, "archive ends inside this entry (truncated)"), false;
            if (!visit(e, name_buf)) return true;
        } else if (e.hdr_offset == at && e.namesize > name_buf_size) {
            // The entity holds this entry's numbers: the next step goes on
            // after it.
            con.warn("entry at offset " + std::to_string(at), "name of " + std::to_string(e.namesize - 1) +
                                                                  " bytes is longer than " +
                                                                  std::to_string(name_buf_size - 1) + ", skipped");
        } else {
            return ended_at(at, con);
        }
        at = e.next_offset;
    }
}

// The walk found no entry at `at`: the trailer, or damage.
bool Archive::ended_at(uint64_t at, Console &con) {
    unsigned char hdr[512] = {};
    const ssize_t n = pread_full(fd_, hdr, sizeof hdr, at);
    const std::string where = "offset " + std::to_string(at);
    if (n < 0) return con.fail(where, cause(errno)), false;
    if (read_error_ != 0) return con.fail(where, cause(read_error_)), false;
    if (n == 0) return con.fail(where, "archive ends without a trailer (truncated)"), false;
    if (!ctx_.ops->is_valid_hdr(hdr))
        return con.fail(where, "no cpio header where one should be (damaged or truncated archive)"), false;
    if (ctx_.ops->is_trailer(hdr)) {
        Entry trailer;
        cpioreadex_init_entity(&trailer, nullptr, 0);
        ctx_.ops->fill_extended_entity(hdr, &trailer, at);
        end_ = trailer.next_offset;
        return true;
    }
    con.fail(where,
             "entry cannot be read whole (damaged or truncated archive, or a name longer than the block reader's "
             "window: try a larger --block-size)");
    return false;
}

namespace {

void forward(void *user, const void *data, uint32_t len) { (*static_cast<const Archive::Out *>(user))(data, len); }

}  // namespace

std::string Archive::data(const Entry &e, const Out &out) {
    if (cpioreadex_do_data(&ctx_, &e, 0, e.filesize, forward, const_cast<Out *>(&out)) == 0) return {};
    return read_error_ != 0 ? cause(read_error_) : "archive ends inside the entry's data (truncated)";
}

std::optional<std::string> Archive::small_data(const Entry &e, uint32_t max) {
    if (e.filesize > max) return std::nullopt;
    std::string s;
    s.reserve(e.filesize);
    if (!data(e, [&](const void *p, uint32_t len) { s.append(static_cast<const char *>(p), len); }).empty())
        return std::nullopt;
    return s;
}

}  // namespace vcpio
