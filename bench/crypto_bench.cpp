// Each cryptographic primitive beside OpenSSL's equivalent for the same
// work, in one run on one machine, followed by the throughput ratios.
//
// OpenSSL's AES runs on its portable table code, as on a processor without
// AES instructions: when OPENSSL_ia32cap is not set, the program sets it to
// mask AES-NI and SSSE3 (which the vector-permutation and bit-sliced paths
// need) and starts itself again, since libcrypto reads it when it loads.
#include "crypto/aes.h"
#include "crypto/bignum.h"
#include "crypto/md5.h"
#include "crypto/rsa.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Bits 57 (AES-NI) and 41 (SSSE3) of OpenSSL's capability vector.
constexpr const char *portable_aes_caps = "~0x0200020000000000";
constexpr size_t data_size = 16u << 20;
const std::string key_dir = std::string(VARITOOL_SOURCE_DIR) + "/keys/development/";

std::vector<unsigned char> &data() {
    static std::vector<unsigned char> d = [] {
        std::vector<unsigned char> v(data_size);
        std::mt19937_64 rng(1);
        for (auto &b : v) b = uint8_t(rng());
        return v;
    }();
    return d;
}

const unsigned char aes_key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                   0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const unsigned char aes_iv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

void md5_varitool(benchmark::State &state) {
    unsigned char digest[16];
    for (auto _ : state) {
        md5_context ctx;
        md5_init(&ctx);
        md5_update(&ctx, data().data(), data_size);
        md5_final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * data_size));
}

void md5_openssl(benchmark::State &state) {
    unsigned char digest[16];
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_MD *md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data().data(), data_size);
        EVP_DigestFinal_ex(ctx, digest, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_free(md);
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations() * data_size));
}

void aes_cbc_varitool(benchmark::State &state) {
    std::vector<unsigned char> buffer = data();
    aes_context ctx;
    aes_set_decrypt_key(&ctx, aes_key, 128);
    for (auto _ : state) {
        aes_cbc_decrypt(&ctx, buffer.data(), buffer.size(), aes_iv);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations() * data_size));
}

void aes_cbc_openssl(benchmark::State &state) {
    std::vector<unsigned char> buffer = data();
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    for (auto _ : state) {
        int n = 0;
        EVP_DecryptInit_ex(ctx, cipher, nullptr, aes_key, aes_iv);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_DecryptUpdate(ctx, buffer.data(), &n, buffer.data(), int(buffer.size()));
        benchmark::DoNotOptimize(buffer.data());
    }
    EVP_CIPHER_free(cipher);
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations() * data_size));
}

// A value below every 1024-bit modulus: random low bytes, top byte 0.
std::vector<unsigned char> rsa_value() {
    std::vector<unsigned char> v(128);
    std::mt19937_64 rng(2);
    for (auto &b : v) b = uint8_t(rng());
    v[127] = 0;
    return v;
}

void rsa_varitool(benchmark::State &state) {
    std::ifstream in(key_dir + "image.keyrec", std::ios::binary);
    std::vector<unsigned char> record((std::istreambuf_iterator<char>(in)), {});
    rsa_key key;
    if (record.size() != 144 || rsa_load_key(&key, record.data()) != 0) {
        state.SkipWithError("no key record");
        return;
    }
    bignum value;
    const std::vector<unsigned char> v = rsa_value();
    for (auto _ : state) {
        bn_from_bytes(&value, v.data(), v.size());
        bn_acquire();
        rsa_public_op(&key, &value);
        bn_release();
        benchmark::DoNotOptimize(value);
    }
}

void rsa_openssl(benchmark::State &state) {
    FILE *f = fopen((key_dir + "image.pem").c_str(), "r");
    EVP_PKEY *key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    if (!key) {
        state.SkipWithError("no PEM key");
        return;
    }
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    std::vector<unsigned char> v = rsa_value(), out(128);
    std::reverse(v.begin(), v.end()); // OpenSSL takes big-endian numbers
    for (auto _ : state) {
        size_t n = out.size();
        EVP_PKEY_encrypt(ctx, out.data(), &n, v.data(), v.size());
        benchmark::DoNotOptimize(out.data());
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
}

BENCHMARK(md5_varitool)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(md5_openssl)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(aes_cbc_varitool)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(aes_cbc_openssl)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(rsa_varitool)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(rsa_openssl)->Unit(benchmark::kMicrosecond)->MinTime(2);

// Keeps the CPU time per iteration of every benchmark as the console shows
// it (the median when the run has repetitions): CPU time, since other work
// on a shared machine stretches wall time.
struct ratio_reporter : benchmark::ConsoleReporter {
    std::map<std::string, double> seconds, medians;

    explicit ratio_reporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || run.iterations <= 0) continue;
            const double t = run.cpu_accumulated_time / double(run.iterations);
            if (run.run_type == Run::RT_Iteration)
                seconds[run.run_name.function_name] = t;
            else if (run.aggregate_name == "median")
                medians[run.run_name.function_name] = t;
        }
    }

    double time_of(const std::string &name) const {
        auto m = medians.find(name);
        if (m != medians.end()) return m->second;
        auto s = seconds.find(name);
        return s != seconds.end() ? s->second : 0;
    }

    void print_ratios() const {
        struct {
            const char *what, *name;
            double target;
        } rows[] = {
            {"MD5, 16 MiB", "md5", 0.9},
            {"AES-128-CBC decryption, 16 MiB (OpenSSL portable)", "aes_cbc", 0.35},
            {"RSA-1024 public operation, e = 65537", "rsa", 0},
        };
        printf("\nThroughput of varitool relative to OpenSSL (1.00 = as fast):\n");
        for (const auto &r : rows) {
            const double ours = time_of(std::string(r.name) + "_varitool");
            const double theirs = time_of(std::string(r.name) + "_openssl");
            if (ours <= 0 || theirs <= 0) continue;
            const double ratio = theirs / ours;
            printf("  %-52s %6.3f", r.what, ratio);
            if (r.target > 0)
                printf("  (target >= %.2f: %s)", r.target, ratio >= r.target ? "met" : "MISSED");
            printf("\n");
        }
    }
};

} // namespace

int main(int argc, char **argv) {
    if (!getenv("OPENSSL_ia32cap")) {
        setenv("OPENSSL_ia32cap", portable_aes_caps, 1);
        execv("/proc/self/exe", argv);
        perror("crypto_bench: cannot start again with OPENSSL_ia32cap set");
        return 1;
    }
    printf("OPENSSL_ia32cap=%s\n", getenv("OPENSSL_ia32cap"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ratio_reporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                  : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
