// vcpio: a command-line program on the viredovozu library. It is written
// against the public header alone and linked like any other consumer.
//
// The pieces: a console for messages and the progress line (vcpio_console),
// an archive opened for reading through the block reader over a file
// descriptor (vcpio_archive), the reading commands list, info and cat
// (vcpio_list), extract (vcpio_extract) and create (vcpio_create).
#pragma once

#include <sys/types.h>
#include <viredovozu.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace vcpio {

inline constexpr int exit_ok = 0;      // everything was done
inline constexpr int exit_failed = 1;  // an error, or an entry skipped with a warning
inline constexpr int exit_usage = 2;   // the command line was wrong

struct Options {
    bool verbose = false;           // list -v
    bool force = false;             // extract --force
    bool reproducible = false;      // create --reproducible
    uint32_t block_size = 65536;    // the block reader's block size
    std::string source_dir;         // create -C: PATHs are relative to it
    std::optional<uint32_t> epoch;  // SOURCE_DATE_EPOCH
};

// The text of errno value err.
std::string cause(int err);

// Writes all len bytes to fd; false with errno.
bool write_all(int fd, const void *data, size_t len);

// Messages go to standard error, one line each: "vcpio: ARCHIVE: ENTRY:
// cause". A progress line is kept on standard error while it is a
// terminal, and cleared before each message.
class Console {
   public:
    explicit Console(std::string archive);
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // A problem with one entry; the run goes on and ends with status 1.
    void warn(std::string_view entry, std::string_view why);
    // Something worth knowing that changes nothing of the status.
    void note(std::string_view entry, std::string_view why);
    // The run cannot go on. Returns exit_failed, for `return con.fail(...)`.
    int fail(std::string_view entry, std::string_view why);
    // exit_failed after a warning, exit_ok otherwise.
    int status() const;

    // Shows bytes and entries done; a total of 0 is not known. Shown only
    // on a terminal, once the run has taken a second, a few times a second.
    void progress(uint64_t bytes, uint64_t total_bytes, uint64_t entries, uint64_t total_entries);
    void clear_progress();

   private:
    void say(std::string_view entry, std::string_view why);

    std::string archive_;
    bool warned_ = false;
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

// An archive name as it may be shown on a terminal: bytes below 0x20 and
// 0x7F as \ooo, backslash doubled.
std::string printable(std::string_view name);

// A name split into the components that extraction creates: leading '/'
// and empty or "." components dropped. Refused (nullopt) when a component
// is "..".
struct SafeName {
    std::vector<std::string> parts;
    bool was_absolute = false;
};
std::optional<SafeName> safe_name(std::string_view name);

// The entry of an archive being walked: its values, and its name.
using Entry = cpio_extended_entity;

// An archive read through the block reader, block by block, with pread on
// a file descriptor; at most four blocks are held.
class Archive {
   public:
    Archive() = default;
    ~Archive();
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    // Opens path and detects its format. On failure the console has said
    // why.
    bool open(const std::string &path, uint32_t block_size, Console &con);

    const char *format() const;  // "newc", "odc" or "bin"
    uint64_t file_size() const { return file_size_; }
    // Where the trailer entry ends, once a walk has reached it.
    uint64_t end() const { return end_; }

    // Calls visit with each entry in archive order until it returns false.
    // An entry whose name does not fit the name buffer is skipped with a
    // warning. Returns true when the walk reached the trailer (or visit
    // stopped it); false when the archive is damaged, truncated or cannot
    // be read, after the console has said where.
    using Visit = std::function<bool(const Entry &e, const char *name)>;
    bool walk(Console &con, const Visit &visit);

    // Hands the entry's data, in chunks, to out. Returns the empty string,
    // or why the data could not be read whole (out has had what was read).
    using Out = std::function<void(const void *data, uint32_t len)>;
    std::string data(const Entry &e, const Out &out);

    // The entry's data as a string, when it holds at most max bytes.
    std::optional<std::string> small_data(const Entry &e, uint32_t max);

   private:
    static void *alloc_window(void *user, uint32_t size);
    static int32_t read_blocks(void *user, void *dst, uint32_t block_size, uint32_t first, uint32_t count);
    bool ended_at(uint64_t at, Console &con);

    int fd_ = -1;
    bool ready_ = false;
    bool window_refused_ = false;
    bool sized_ = false;  // a regular file: file_size_ is where it ends
    int read_error_ = 0;  // errno of the first failed pread
    uint64_t file_size_ = 0, end_ = 0;
    cpioreadex_ctx ctx_{};
};

// The block size is one the block reader accepts (asked of the library
// itself, which keeps that rule).
bool block_size_accepted(uint32_t block_size);

// The file type bits of a cpio mode; the values are those of <sys/stat.h>.
inline bool is_type(uint32_t mode, uint32_t type) { return (mode & 0170000) == type; }

// The entries of one hard-linked file share this identity. odc and bin
// carry no device numbers; there the inode number alone tells.
using Identity = std::tuple<uint32_t, uint32_t, uint32_t>;
inline Identity identity(const Entry &e) { return {e.ino, e.devmajor, e.devminor}; }
inline bool hard_linked(const Entry &e) { return is_type(e.mode, 0100000) && e.nlink > 1; }

int list(const Options &o, const std::string &archive);
int info(const Options &o, const std::string &archive);
int cat(const Options &o, const std::string &archive, const std::string &name);
int extract(const Options &o, const std::string &archive, const std::string &dir,
            const std::vector<std::string> &names);
int create(const Options &o, const std::string &archive, const std::vector<std::string> &paths);

}  // namespace vcpio
