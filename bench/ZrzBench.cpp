// What the package checks cost: installing a package's files with
// mcZrzPackage (open and check every entry, then extract with the checks
// again) against libarchive's plain extraction of the same archive with the
// same secure-extraction flags and nothing else (the peer). Compare the two
// times: the ratio is the price of the checks and the second pass.
#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "package/mcZrzPackage.h"

namespace {

// A package of nFiles files of 16 KiB in ten folders, made once.
class PackageFixture {
public:
    explicit PackageFixture(int nFiles) {
        char szTemplate[] = "/tmp/kettrin-zrzbench-XXXXXX";
        m_strRoot = ::mkdtemp(szTemplate);
        const std::string strSource = m_strRoot + "/src";
        for (int i = 0; i < nFiles; ++i) {
            const std::string strFolder = strSource + "/d" + std::to_string(i % 10);
            std::filesystem::create_directories(strFolder);
            std::ofstream(strFolder + "/f" + std::to_string(i)) << std::string(16 * 1024, static_cast<char>('a' + i % 26));
        }
        m_strPackage = m_strRoot + "/p.zrz";
        mcZrzPackage::Write(strSource, {"bench", "1", ""}, m_strPackage);
    }
    ~PackageFixture() { std::filesystem::remove_all(m_strRoot); }

    const std::string& Package() const { return m_strPackage; }
    // A fresh empty target folder.
    std::string NewTarget() {
        const std::string strTarget = m_strRoot + "/t" + std::to_string(++m_nTarget);
        std::filesystem::create_directory(strTarget);
        return strTarget;
    }

private:
    std::string m_strRoot;
    std::string m_strPackage;
    int m_nTarget = 0;
};

void BM_ZrzInstallFiles(benchmark::State& state) {
    PackageFixture fixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const std::string strTarget = fixture.NewTarget();
        const mcZrzPackage package = mcZrzPackage::Open(fixture.Package());
        package.ExtractFiles(strTarget);
        state.PauseTiming();
        std::filesystem::remove_all(strTarget);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ZrzInstallFiles)->Arg(200)->Unit(benchmark::kMillisecond);

// The peer: one pass of libarchive alone.
void BM_LibarchivePlainExtract(benchmark::State& state) {
    PackageFixture fixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const std::string strTarget = fixture.NewTarget();
        const std::string strOld = std::filesystem::current_path();
        std::filesystem::current_path(strTarget);
        archive* pReader = archive_read_new();
        archive_read_support_filter_gzip(pReader);
        archive_read_support_format_tar(pReader);
        archive_read_open_filename(pReader, fixture.Package().c_str(), 64 * 1024);
        archive_entry* pEntry = nullptr;
        while (archive_read_next_header(pReader, &pEntry) == ARCHIVE_OK) {
            archive_read_extract(pReader, pEntry,
                                 ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
        }
        archive_read_free(pReader);
        std::filesystem::current_path(strOld);
        state.PauseTiming();
        std::filesystem::remove_all(strTarget);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LibarchivePlainExtract)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
