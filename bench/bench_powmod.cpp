// The handshake's two exponentiations, pow2mod for the public value and powmod with the peer's
// value for the shared secret (96-bit exponent as four words, the 33-word group prime), timed
// next to OpenSSL's BN_mod_exp on the same inputs in the same run. After the runs it prints
// both times per handshake and their ratio.
#include "common/crypto/bignum.h"

#include <benchmark/benchmark.h>
#include <openssl/bn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include <unistd.h>

namespace {

struct Inputs {
    uint32_t exponent[4] = {};
    uint32_t peer[33] = {};
};

Inputs make_inputs() {
    Inputs in;
    std::mt19937 rng(20260201);
    for (int i = 0; i < 3; ++i) {
        in.exponent[i] = uint32_t(rng());
    }
    // The peer's public value: 2^y mod p for another 96-bit y, as a driver would send it.
    uint32_t y[4] = {uint32_t(rng()), uint32_t(rng()), uint32_t(rng()), 0};
    pow2mod(in.peer, 33, y, 4, oakley_group2_prime, 33);
    return in;
}

BIGNUM* from_words(const uint32_t* w, int n) {
    unsigned char le[4 * 67];
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < 4; ++j) {
            le[4 * i + j] = static_cast<unsigned char>(w[i] >> (8 * j));
        }
    }
    return BN_lebin2bn(le, 4 * n, nullptr);
}

void Handshake_Ours(benchmark::State& state) {
    const Inputs in = make_inputs();
    for (auto _ : state) {
        uint32_t publicValue[33] = {};
        uint32_t secret[33] = {};
        pow2mod(publicValue, 33, in.exponent, 4, oakley_group2_prime, 33);
        powmod(secret, 33, in.peer, 33, in.exponent, 4, oakley_group2_prime, 33);
        benchmark::DoNotOptimize(publicValue);
        benchmark::DoNotOptimize(secret);
    }
}

void Handshake_OpenSSL(benchmark::State& state) {
    const Inputs in = make_inputs();
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* p = from_words(oakley_group2_prime, 33);
    BIGNUM* e = from_words(in.exponent, 4);
    BIGNUM* peer = from_words(in.peer, 33);
    BIGNUM* two = BN_new();
    BN_set_word(two, 2);
    BIGNUM* publicValue = BN_new();
    BIGNUM* secret = BN_new();
    for (auto _ : state) {
        BN_mod_exp(publicValue, two, e, p, ctx);
        BN_mod_exp(secret, peer, e, p, ctx);
        benchmark::DoNotOptimize(publicValue);
        benchmark::DoNotOptimize(secret);
    }
    BN_free(secret);
    BN_free(publicValue);
    BN_free(two);
    BN_free(peer);
    BN_free(e);
    BN_free(p);
    BN_CTX_free(ctx);
}

void Pow2mod_Ours(benchmark::State& state) {
    const Inputs in = make_inputs();
    for (auto _ : state) {
        uint32_t out[33] = {};
        pow2mod(out, 33, in.exponent, 4, oakley_group2_prime, 33);
        benchmark::DoNotOptimize(out);
    }
}

void Powmod_Ours(benchmark::State& state) {
    const Inputs in = make_inputs();
    for (auto _ : state) {
        uint32_t out[33] = {};
        powmod(out, 33, in.peer, 33, in.exponent, 4, oakley_group2_prime, 33);
        benchmark::DoNotOptimize(out);
    }
}

BENCHMARK(Handshake_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(Handshake_OpenSSL)->Unit(benchmark::kMillisecond);
BENCHMARK(Pow2mod_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(Powmod_Ours)->Unit(benchmark::kMillisecond);

// Console output as usual, plus the real time of each run kept for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                const double n = double(run.iterations);
                real_[run.benchmark_name()] = run.real_accumulated_time / n;
                cpu_[run.benchmark_name()] = run.cpu_accumulated_time / n;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        if (!real_.count("Handshake_Ours") || !real_.count("Handshake_OpenSSL")) {
            return;
        }
        const double ours = real_["Handshake_Ours"];
        const double theirs = real_["Handshake_OpenSSL"];
        const double oursCpu = cpu_["Handshake_Ours"];
        const double theirsCpu = cpu_["Handshake_OpenSSL"];
        std::printf("\nhandshake exponentiations (pow2mod + powmod), per handshake:\n"
                    "  ours    %9.3f ms real, %9.3f ms CPU\n"
                    "  OpenSSL %9.4f ms real, %9.4f ms CPU (BN_mod_exp twice)\n"
                    "  ratio   %9.1fx real,  %9.1fx CPU (target: at most 20x)\n",
                    ours * 1e3, oursCpu * 1e3, theirs * 1e3, theirsCpu * 1e3,
                    theirs > 0 ? ours / theirs : 0.0, theirsCpu > 0 ? oursCpu / theirsCpu : 0.0);
        std::fflush(stdout);
    }

private:
    std::map<std::string, double> real_;
    std::map<std::string, double> cpu_;
};

// Whether the console output is coloured, as --benchmark_color says (true, false, or by default
// auto: when standard output is a terminal that shows colour). The library applies the flag to its
// own reporter only, never to one handed to it.
bool Colour(int argc, char** argv) {
    const std::string flag = "--benchmark_color=";
    std::string value = "auto";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], flag.c_str(), flag.size()) == 0) {
            value = argv[i] + flag.size();
        }
    }
    if (value == "auto") {
        const char* term = std::getenv("TERM");
        return isatty(STDOUT_FILENO) != 0 && term != nullptr && std::strcmp(term, "dumb") != 0;
    }
    return value == "true" || value == "yes" || value == "1" || value == "on";
}

} // namespace

int main(int argc, char** argv) {
    const bool colour = Colour(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter(colour ? benchmark::ConsoleReporter::OO_ColorTabular
                                  : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
