// Inflate throughput of velk's gzip input beside zlib's, in one run:
//   bench_inflate FILE.gz [REPEAT]
// Reads FILE.gz from the page cache through GzipByteSource (velk's DEFLATE
// decoder) and through the zlib-driven reference source, alternating, in
// reads of 1 MiB (the VCD loader's block size), and prints the best time of
// each with MB/s of decompressed output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "io/byte_source.h"
#include "support/zlib_gzip_source.h"

namespace {

template <class Source>
double time_once(int fd, std::uint64_t size, std::vector<char>& buf, std::uint64_t& total) {
  if (::lseek(fd, 0, SEEK_SET) != 0) std::exit(1);
  velk::FileByteSource file(fd, size);
  Source gz(file);
  const auto t0 = std::chrono::steady_clock::now();
  total = 0;
  while (const std::size_t n = gz.read(buf.data(), buf.size())) total += n;
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (gz.failure()) {
    std::fprintf(stderr, "failed: %s\n", gz.failure()->c_str());
    std::exit(1);
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_inflate FILE.gz [REPEAT]\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::vector<char> buf(1 << 20);
  double velk_best = 1e30, zlib_best = 1e30;
  std::uint64_t velk_bytes = 0, zlib_bytes = 0;
  for (int r = 0; r < repeat; ++r) {
    velk_best = std::min(velk_best, time_once<velk::GzipByteSource>(fd, st.st_size, buf, velk_bytes));
    zlib_best = std::min(zlib_best, time_once<velk::testing::ZlibGzipSource>(fd, st.st_size, buf, zlib_bytes));
  }
  if (velk_bytes != zlib_bytes) {
    std::fprintf(stderr, "sizes differ: %llu vs %llu\n", static_cast<unsigned long long>(velk_bytes),
                 static_cast<unsigned long long>(zlib_bytes));
    return 1;
  }
  std::printf("%llu %.6f %.6f\n", static_cast<unsigned long long>(velk_bytes), velk_best, zlib_best);
  return 0;
}
