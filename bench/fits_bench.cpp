// Header formatting of the FITS product, done once per image of a run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "fits/fits.h"

namespace {

std::vector<uint8_t> busy_header_packet() {
    std::vector<uint8_t> packet(8200);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 37 + 11);
    packet[18] = 2 << 1;  // flight model 2
    return packet;
}

void BM_FormatPrimaryHeader(benchmark::State& state) {
    const std::vector<uint8_t> packet = busy_header_packet();
    std::vector<char> header(kPrimaryHeaderBytes);
    for (auto _ : state) {
        const bool ok = format_primary_header(header.data(), packet.data(), 12, 20180327, 145038, 92,
                                              "Tue Mar 27 14:50:40 2018");
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPrimaryHeaderBytes);
}
BENCHMARK(BM_FormatPrimaryHeader);

void BM_TelemetryCards(benchmark::State& state) {
    const std::vector<uint8_t> packet = busy_header_packet();
    char cards[kTelemetryFieldCount * kCardBytes];
    for (auto _ : state) {
        for (int i = 0; i < kTelemetryFieldCount; ++i) {
            format_telemetry_card(packet.data(), telemetry_fields[i], cards + i * kCardBytes);
        }
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TelemetryCards);

void BM_DeriveHeaderKeywords(benchmark::State& state) {
    const std::vector<uint8_t> packet = busy_header_packet();
    HeaderKeywords keywords;
    for (auto _ : state) {
        derive_header_keywords(packet.data(), 20180327, 145038, 92, keywords);
        benchmark::DoNotOptimize(keywords);
    }
}
BENCHMARK(BM_DeriveHeaderKeywords);

}  // namespace

BENCHMARK_MAIN();
