// Timing benchmarks: the library's readers and writer side by side with
// libarchive and with the floors that the machine sets.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "loops.h"
#include "workload.h"

namespace {

using bench::Fmt;

const Fmt listing_formats[] = {Fmt::newc, Fmt::odc, Fmt::bin_le};

void set_entries(benchmark::State &state) {
    state.SetItemsProcessed(int64_t(state.iterations()) * bench::listing_entries());
}

void BM_list_mem(benchmark::State &state, Fmt f) {
    const std::string &img = bench::listing_archive(f);
    for (auto _ : state) benchmark::DoNotOptimize(bench::list_mem(img));
    set_entries(state);
}

void BM_list_bounded(benchmark::State &state, Fmt f) {
    const std::string &img = bench::listing_archive(f);
    for (auto _ : state) benchmark::DoNotOptimize(bench::list_bounded(img));
    set_entries(state);
}

void BM_list_blocks(benchmark::State &state, Fmt f) {
    const std::string &img = bench::listing_archive(f);
    const auto bs = uint32_t(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(bench::list_blocks(img, bs));
    set_entries(state);
}

void BM_list_floor(benchmark::State &state, Fmt f) {
    const std::string &img = bench::listing_archive(f);
    for (auto _ : state) benchmark::DoNotOptimize(bench::list_floor(f, img, bench::listing_entries()));
    set_entries(state);
}

std::string last_name() { return bench::small_entry(bench::listing_entries() - 1).name; }

void BM_find_mem(benchmark::State &state) {
    const std::string &img = bench::listing_archive(Fmt::newc);
    const std::string name = last_name();
    for (auto _ : state) benchmark::DoNotOptimize(bench::find_mem(img, name.c_str()));
    set_entries(state);
}

void BM_find_blocks(benchmark::State &state) {
    const std::string &img = bench::listing_archive(Fmt::newc);
    const std::string name = last_name();
    for (auto _ : state) benchmark::DoNotOptimize(bench::find_blocks(img, uint32_t(state.range(0)), name.c_str()));
    set_entries(state);
}

void set_data_bytes(benchmark::State &state) {
    state.SetBytesProcessed(int64_t(state.iterations()) * bench::big_entries * bench::big_entry_bytes());
}

void BM_data_blocks(benchmark::State &state) {
    const std::string &img = bench::data_archive();
    for (auto _ : state) benchmark::DoNotOptimize(bench::stream_blocks(img, uint32_t(state.range(0))));
    set_data_bytes(state);
}

void BM_data_mem(benchmark::State &state) {
    const std::string &img = bench::data_archive();
    for (auto _ : state) benchmark::DoNotOptimize(bench::stream_mem(img));
    set_data_bytes(state);
}

void BM_data_memcpy(benchmark::State &state) {
    const std::string &img = bench::data_archive();
    for (auto _ : state) benchmark::DoNotOptimize(bench::stream_memcpy(img));
    set_data_bytes(state);
}

// ---- writing
std::string out_path(const char *what) { return bench::scratch_dir() + "/viredovozu-bench-" + what + ".cpio"; }

void BM_write_small(benchmark::State &state) {
    const auto entries = bench::small_entries();
    const std::string path = out_path("small");
    for (auto _ : state) {
        cpiowrite_ctx *w = cpiowrite_start(path.c_str());
        if (!w) std::abort();
        for (const auto &e : entries)
            cpiowrite_add_data(w, e.name.c_str(), uint16_t(e.mode), e.uid, e.gid, e.data.data(),
                               uint32_t(e.data.size()));
        if (!cpiowrite_finish(w)) std::abort();
    }
    unlink(path.c_str());
    set_entries(state);
}

// The floor of writing: fwrite of the archive's bytes, entry by entry.
void BM_write_small_fwrite(benchmark::State &state) {
    std::vector<std::string> pieces;
    for (const auto &e : bench::small_entries()) pieces.push_back(testenc::encode_entry(Fmt::newc, e));
    const std::string path = out_path("small-fwrite");
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "wb");
        for (const auto &p : pieces) std::fwrite(p.data(), p.size(), 1, f);
        std::fclose(f);
    }
    unlink(path.c_str());
    set_entries(state);
}

// Four files of big_entry_bytes() on the scratch file system, made on
// first use and removed at exit.
std::vector<std::string> big_paths;

const std::vector<std::string> &big_files() {
    std::vector<std::string> &paths = big_paths;
    if (paths.empty())
        for (uint32_t k = 0; k < bench::big_entries; ++k) {
            paths.push_back(bench::scratch_dir() + "/viredovozu-bench-in" + std::to_string(k));
            const std::string d = bench::big_data(k);
            FILE *f = std::fopen(paths.back().c_str(), "wb");
            std::fwrite(d.data(), d.size(), 1, f);
            std::fclose(f);
        }
    return paths;
}

void BM_write_files(benchmark::State &state) {
    const auto &files = big_files();
    const std::string path = out_path("files");
    for (auto _ : state) {
        cpiowrite_ctx *w = cpiowrite_start(path.c_str());
        for (const auto &f : files)
            if (!cpiowrite_add_file(w, f.c_str() + 1, 0100644, f.c_str())) std::abort();
        if (!cpiowrite_finish(w)) std::abort();
    }
    unlink(path.c_str());
    set_data_bytes(state);
}

// The same bytes as the archive: each file's header, its data read in
// 64 KiB pieces and padding, then the trailer.
void BM_write_files_fwrite(benchmark::State &state) {
    const auto &files = big_files();
    std::vector<std::string> headers;
    for (const auto &f : files) {
        testenc::Entry e = testenc::file(f.substr(1), "");
        e.filesize = bench::big_entry_bytes();
        headers.push_back(testenc::encode_entry(Fmt::newc, e));
    }
    const std::string trailer = testenc::encode_entry(Fmt::newc, testenc::trailer());
    const std::string path = out_path("files-fwrite");
    static char buf[1 << 16];
    for (auto _ : state) {
        FILE *out = std::fopen(path.c_str(), "wb");
        for (size_t i = 0; i < files.size(); ++i) {
            std::fwrite(headers[i].data(), headers[i].size(), 1, out);
            const int fd = open(files[i].c_str(), O_RDONLY);
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) std::fwrite(buf, size_t(n), 1, out);
            close(fd);
        }
        std::fwrite(trailer.data(), trailer.size(), 1, out);
        std::fclose(out);
    }
    unlink(path.c_str());
    set_data_bytes(state);
}

#ifdef VIREDOVOZU_HAVE_LIBARCHIVE
void BM_list_libarchive(benchmark::State &state, Fmt f) {
    const std::string &img = bench::listing_archive(f);
    for (auto _ : state) benchmark::DoNotOptimize(bench::list_libarchive(img));
    set_entries(state);
}

void BM_find_libarchive(benchmark::State &state) {
    // libarchive has no lookup: a search is a walk to the name.
    const std::string &img = bench::listing_archive(Fmt::newc);
    const std::string name = last_name();
    for (auto _ : state) {
        bench::ArchiveReader r(img);
        archive_entry *e;
        while (archive_read_next_header(r.a, &e) == ARCHIVE_OK)
            if (name == archive_entry_pathname(e)) break;
        benchmark::DoNotOptimize(e);
    }
    set_entries(state);
}

void BM_data_libarchive(benchmark::State &state) {
    const std::string &img = bench::data_archive();
    for (auto _ : state) benchmark::DoNotOptimize(bench::stream_libarchive(img));
    set_data_bytes(state);
}

void BM_data_libarchive_copying(benchmark::State &state) {
    const std::string &img = bench::data_archive();
    for (auto _ : state) benchmark::DoNotOptimize(bench::stream_libarchive_copying(img));
    set_data_bytes(state);
}

archive *start_libarchive(const std::string &path) {
    archive *a = archive_write_new();
    archive_write_set_format_cpio_newc(a);
    archive_write_add_filter_none(a);
    if (archive_write_open_filename(a, path.c_str()) != ARCHIVE_OK) std::abort();
    return a;
}

void BM_write_small_libarchive(benchmark::State &state) {
    const auto entries = bench::small_entries();
    const std::string path = out_path("small-libarchive");
    for (auto _ : state) {
        archive *a = start_libarchive(path);
        archive_entry *ae = archive_entry_new();
        for (const auto &e : entries) {
            archive_entry_clear(ae);
            archive_entry_set_pathname(ae, e.name.c_str());
            archive_entry_set_mode(ae, e.mode);
            archive_entry_set_size(ae, la_int64_t(e.data.size()));
            archive_entry_set_mtime(ae, e.mtime, 0);
            archive_write_header(a, ae);
            archive_write_data(a, e.data.data(), e.data.size());
        }
        archive_entry_free(ae);
        archive_write_free(a);
    }
    unlink(path.c_str());
    set_entries(state);
}

void BM_write_files_libarchive(benchmark::State &state) {
    const auto &files = big_files();
    const std::string path = out_path("files-libarchive");
    static char buf[1 << 16];
    for (auto _ : state) {
        archive *a = start_libarchive(path);
        archive_entry *ae = archive_entry_new();
        for (const auto &f : files) {
            struct stat st;
            stat(f.c_str(), &st);
            archive_entry_clear(ae);
            archive_entry_copy_stat(ae, &st);
            archive_entry_set_pathname(ae, f.c_str() + 1);
            archive_write_header(a, ae);
            const int fd = open(f.c_str(), O_RDONLY);
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) archive_write_data(a, buf, size_t(n));
            close(fd);
        }
        archive_entry_free(ae);
        archive_write_free(a);
    }
    unlink(path.c_str());
    set_data_bytes(state);
}
#endif

const char *fmt_label(Fmt f) { return f == Fmt::bin_le ? "bin" : testenc::fmt_name(f); }

void register_all() {
    for (Fmt f : listing_formats) {
        const std::string fmt = fmt_label(f);
        benchmark::RegisterBenchmark(("list/mem/" + fmt).c_str(), BM_list_mem, f);
        benchmark::RegisterBenchmark(("list/bounded/" + fmt).c_str(), BM_list_bounded, f);
        benchmark::RegisterBenchmark(("list/blocks/" + fmt).c_str(), BM_list_blocks, f)
            ->Arg(512)
            ->Arg(4096)
            ->Arg(65536);
        benchmark::RegisterBenchmark(("list/floor/" + fmt).c_str(), BM_list_floor, f);
#ifdef VIREDOVOZU_HAVE_LIBARCHIVE
        benchmark::RegisterBenchmark(("list/libarchive/" + fmt).c_str(), BM_list_libarchive, f);
#endif
    }
    benchmark::RegisterBenchmark("find/mem", BM_find_mem);
    benchmark::RegisterBenchmark("find/blocks", BM_find_blocks)->Arg(512)->Arg(65536);
    benchmark::RegisterBenchmark("data/blocks", BM_data_blocks)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("data/mem", BM_data_mem)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("data/memcpy", BM_data_memcpy)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("write/small/lib", BM_write_small)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("write/small/fwrite", BM_write_small_fwrite)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("write/files/lib", BM_write_files)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("write/files/fwrite", BM_write_files_fwrite)->Unit(benchmark::kMillisecond);
#ifdef VIREDOVOZU_HAVE_LIBARCHIVE
    benchmark::RegisterBenchmark("find/libarchive", BM_find_libarchive);
    benchmark::RegisterBenchmark("data/libarchive", BM_data_libarchive)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("data/libarchive_copying", BM_data_libarchive_copying)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("write/small/libarchive", BM_write_small_libarchive)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("write/files/libarchive", BM_write_files_libarchive)->Unit(benchmark::kMillisecond);
#endif
}

}  // namespace

int main(int argc, char **argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto &f : big_paths) unlink(f.c_str());
    return 0;
}
