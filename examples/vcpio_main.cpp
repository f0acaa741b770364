// vcpio: list, extract and create cpio archives with the viredovozu library.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vcpio.h"

namespace {

using namespace vcpio;

constexpr const char *help_text = R"(Usage: vcpio COMMAND [OPTION...] ARGUMENT...

Reads cpio archives in the newc, odc and old binary formats, block by block
with bounded memory; writes newc archives.

Commands:
  list [-v] ARCHIVE            the entries' names, in archive order; with -v
                               also mode, links, owner, group, size (device
                               numbers for devices) and mtime, as ls -l
  info ARCHIVE                 format, number of entries, bytes of data and
                               the archive's size
  cat ARCHIVE NAME             the data of entry NAME on standard output
  extract ARCHIVE [DIR [NAME...]]
                               the entries, or those NAMEs and what lies
                               below them, into DIR (default: the current
                               directory, made when missing)
  create ARCHIVE PATH...       a newc archive of the PATHs, directories with
                               all they hold, names sorted

Options:
  -v, --verbose                list: the long form
  -f, --force                  extract: replace files that exist
  -b, --block-size=N           reading: block size of the block reader, a
                               power of two from 64 to 512M (K and M
                               suffixes; 0 means 512); default 64K. Four
                               blocks are held at a time.
  -C, --directory=DIR          create: PATHs are relative to DIR
      --reproducible           create: owner and group 0, and modes as a git
                               checkout keeps them (files 0644 or 0755,
                               directories 0755); with SOURCE_DATE_EPOCH the
                               same tree gives the same bytes
  -h, --help                   this text
      --version                the program's and the library's version

Extraction is safe against hostile archives: a leading '/' is removed from
names, a name with a ".." component is refused, nothing is written through
a symlink, and files that exist are replaced only with --force (removed,
never written into). Modes and mtimes are restored as the archive states
them; owners, and device nodes, only when run as root. Hard-linked files
are linked again, whether their data comes with the first or the last link.

create stores symlinks as links and hard-linked files as link groups (the
data with the last member), and skips device nodes and sockets (the writer
records no device numbers). Names longer than 258 bytes are refused.

Environment:
  SOURCE_DATE_EPOCH            create: no mtime later than this (seconds
                               since the epoch); set, the same tree gives the
                               same bytes

Messages are one line on standard error, "vcpio: ARCHIVE: ENTRY: cause".
A progress line is shown on standard error when it is a terminal.

Exit status: 0 when everything was done; 1 on an error, or when an entry
was skipped with a warning; 2 on a usage error.
)";

int usage(const char *why) {
    std::fprintf(stderr, "vcpio: %s\nTry 'vcpio --help'.\n", why);
    return exit_usage;
}

// Decimal digits within 32 bits, followed by an allowed suffix: K or M
// (binary multiples) when suffixes is set, nothing otherwise.
std::optional<uint32_t> parse_number(const char *s, bool suffixes) {
    if (*s < '0' || *s > '9') return std::nullopt;
    uint64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s)
        if ((v = v * 10 + static_cast<uint64_t>(*s - '0')) > UINT32_MAX) return std::nullopt;
    if (suffixes && (*s == 'K' || *s == 'k'))
        v <<= 10, ++s;
    else if (suffixes && (*s == 'M' || *s == 'm'))
        v <<= 20, ++s;
    if (*s != '\0' || v > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(v);
}

// Seconds since the epoch; unset or empty: none.
bool parse_epoch(Options &o) {
    const char *s = std::getenv("SOURCE_DATE_EPOCH");
    if (s == nullptr || *s == '\0') return true;
    o.epoch = parse_number(s, false);
    return o.epoch.has_value();
}

int version_text() {
    std::printf("vcpio %d.%d.%d\n", VIREDOVOZU_VERSION_MAJOR, VIREDOVOZU_VERSION_MINOR, VIREDOVOZU_VERSION_PATCH);
    return exit_ok;
}

int help() {
    std::fputs(help_text, stdout);
    return exit_ok;
}

enum Long { reproducible = 256, version };

constexpr struct option long_options[] = {
    {"verbose", no_argument, nullptr, 'v'},
    {"force", no_argument, nullptr, 'f'},
    {"block-size", required_argument, nullptr, 'b'},
    {"directory", required_argument, nullptr, 'C'},
    {"reproducible", no_argument, nullptr, reproducible},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, version},
    {nullptr, 0, nullptr, 0},
};

struct Command {
    const char *name;
    const char *options;  // the short options it takes ("" for none)
    bool reproducible;    // takes --reproducible
    size_t min_args, max_args;
};

constexpr Command commands[] = {
    {"list", "vb", false, 1, 1},           {"info", "b", false, 1, 1},         {"cat", "b", false, 2, 2},
    {"extract", "fb", false, 1, SIZE_MAX}, {"create", "C", true, 2, SIZE_MAX},
};

int run(int argc, char **argv) {
    if (argc < 2) return usage("a command is needed");
    const std::string_view word = argv[1];
    if (word == "-h" || word == "--help" || word == "help") return help();
    if (word == "--version") return version_text();
    const Command *cmd = nullptr;
    for (const Command &c : commands)
        if (word == c.name) cmd = &c;
    if (cmd == nullptr) return usage(("unknown command '" + printable(word) + "'").c_str());

    // The command is the argument vector's first word for getopt.
    char **sub = argv + 1;
    Options o;
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc - 1, sub, ":vfb:C:h", long_options, nullptr)) != -1) {
        if (c == 'h') return help();
        if (c == version) return version_text();
        // A long option that is unknown or lacks its value leaves optopt 0.
        const int letter = c == '?' || c == ':' ? optopt : c;
        const std::string given = letter == reproducible       ? "--reproducible"
                                  : letter > 0 && letter < 128 ? std::string("-") + static_cast<char>(letter)
                                                               : printable(sub[optind - 1]);
        if (c == ':') return usage(("option " + given + " needs a value").c_str());
        const bool taken = c == reproducible ? cmd->reproducible : c != '?' && std::strchr(cmd->options, c);
        if (!taken) return usage((given + " is not an option of " + cmd->name).c_str());
        switch (c) {
            case 'v':
                o.verbose = true;
                break;
            case 'f':
                o.force = true;
                break;
            case 'b': {
                const auto v = parse_number(optarg, true);
                if (!v || !block_size_accepted(*v))
                    return usage("--block-size takes a power of two from 64 to 512M, or 0 for 512");
                o.block_size = *v;
                break;
            }
            case 'C':
                o.source_dir = optarg;
                break;
            case reproducible:
                o.reproducible = true;
                break;
        }
    }
    const std::vector<std::string> args(sub + optind, argv + argc);
    if (args.size() < cmd->min_args) return usage((std::string(cmd->name) + ": too few arguments").c_str());
    if (args.size() > cmd->max_args) return usage((std::string(cmd->name) + ": too many arguments").c_str());

    const std::string_view name = cmd->name;
    if (name == "list") return list(o, args[0]);
    if (name == "info") return info(o, args[0]);
    if (name == "cat") return cat(o, args[0], args[1]);
    if (name == "extract")
        return extract(o, args[0], args.size() > 1 ? args[1] : ".",
                       {args.begin() + (args.size() > 1 ? 2 : 1), args.end()});
    if (!parse_epoch(o)) return usage("SOURCE_DATE_EPOCH is not a number of seconds");
    return create(o, args[0], {args.begin() + 1, args.end()});
}

}  // namespace

int main(int argc, char **argv) { return run(argc, argv); }
