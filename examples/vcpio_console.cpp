// Messages, the progress line, names from archives, and writes that go whole.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vcpio.h"

namespace vcpio {

using namespace std::chrono_literals;

std::string cause(int err) { return std::strerror(err); }

bool write_all(int fd, const void *data, size_t len) {
    for (size_t done = 0; done < len;) {
        const ssize_t n = write(fd, static_cast<const char *>(data) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string printable(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u == 0x7F) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\%03o", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<SafeName> safe_name(std::string_view name) {
    SafeName s;
    s.was_absolute = !name.empty() && name.front() == '/';
    for (size_t i = 0; i <= name.size();) {
        size_t j = name.find('/', i);
        if (j == std::string_view::npos) j = name.size();
        const std::string_view part = name.substr(i, j - i);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") s.parts.emplace_back(part);
        i = j + 1;
    }
    return s;
}

Console::Console(std::string archive)
    : archive_(std::move(archive)), terminal_(isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}

Console::~Console() { clear_progress(); }

void Console::say(std::string_view entry, std::string_view why) {
    clear_progress();
    std::string line = "vcpio: ";
    if (!archive_.empty()) line += printable(archive_) + ": ";
    if (!entry.empty()) line += printable(entry) + ": ";
    line += why;
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

void Console::warn(std::string_view entry, std::string_view why) {
    warned_ = true;
    say(entry, why);
}

void Console::note(std::string_view entry, std::string_view why) { say(entry, why); }

int Console::fail(std::string_view entry, std::string_view why) {
    say(entry, why);
    return exit_failed;
}

int Console::status() const { return warned_ ? exit_failed : exit_ok; }

namespace {

std::string mib(uint64_t bytes) {
    char s[32];
    std::snprintf(s, sizeof s, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return s;
}

std::string of(const std::string &done, const std::string &total) {
    return total.empty() ? done : done + " of " + total;
}

}  // namespace

void Console::progress(uint64_t bytes, uint64_t total_bytes, uint64_t entries, uint64_t total_entries) {
    if (!terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < 1s || (shown_ && now - last_ < 200ms)) return;
    last_ = now;
    const std::string line =
        "vcpio: " + printable(archive_) + ": " + of(mib(bytes), total_bytes ? mib(total_bytes) : "") + ", " +
        of(std::to_string(entries), total_entries ? std::to_string(total_entries) : "") + " entries";
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    shown_ = true;
}

void Console::clear_progress() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    shown_ = false;
}

}  // namespace vcpio
