// The smoke runner: the fuzz targets without libFuzzer, for the test suite's
// own build (gcc, AddressSanitizer and UndefinedBehaviorSanitizer). It takes
// libFuzzer's options that the smoke runs use and does what they ask, without
// coverage feedback: every file of the given directories once, then -runs=N
// inputs made from them by a fixed-seed mutator (bytes flipped, set, inserted,
// erased, copied; dictionary tokens put in; two inputs spliced). A finding ends
// the program as it would under libFuzzer: the sanitizer's or the verifier's
// report, and a non-zero exit. The input that was running is written first to
// the file -artifact_prefix names (default ./smoke-input), to replay it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Input = std::vector<uint8_t>;

struct Options {
    uint64_t seed = 1;
    uint64_t runs = 100;
    size_t maxLength = 4096;
    std::string dictionary;
    std::string artifactPrefix = "./";
    bool stats = false;
    std::vector<std::string> paths;
};

bool TakeValue(const char* argument, const char* name, std::string* value) {
    const size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    *value = argument + length + 1;
    return true;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string value;
        if (TakeValue(argv[i], "-seed", &value)) {
            options.seed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (TakeValue(argv[i], "-runs", &value)) {
            options.runs = std::strtoull(value.c_str(), nullptr, 10);
        } else if (TakeValue(argv[i], "-max_len", &value)) {
            options.maxLength = std::max<size_t>(1, std::strtoull(value.c_str(), nullptr, 10));
        } else if (TakeValue(argv[i], "-dict", &value)) {
            options.dictionary = value;
        } else if (TakeValue(argv[i], "-artifact_prefix", &value)) {
            options.artifactPrefix = value;
        } else if (TakeValue(argv[i], "-print_final_stats", &value)) {
            options.stats = value != "0";
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "smoke runner: option %s is libFuzzer's only; ignored\n", argv[i]);
        } else {
            options.paths.push_back(argv[i]);
        }
    }
    return options;
}

Input ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A path is a file (one input) or a directory (each regular file in it, by name).
void Collect(const std::string& path, std::vector<Input>* inputs) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
        inputs->push_back(ReadFile(path));
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat file {};
        const std::string full = path + "/" + name;
        if (stat(full.c_str(), &file) == 0 && S_ISREG(file.st_mode)) inputs->push_back(ReadFile(full));
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// libFuzzer's dictionary format: lines `name="value"` (the name may be left
// out), with \\, \" and \xNN escapes; # starts a comment.
std::vector<Input> ReadDictionary(const std::string& path) {
    std::vector<Input> tokens;
    if (path.empty()) return tokens;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t open = line.find('"');
        const size_t close = line.rfind('"');
        if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open) continue;
        Input token;
        for (size_t i = open + 1; i < close; ++i) {
            if (line[i] == '\\' && i + 1 < close) {
                if (line[i + 1] == 'x' && i + 3 < close && HexDigit(line[i + 2]) >= 0 && HexDigit(line[i + 3]) >= 0) {
                    token.push_back(static_cast<uint8_t>(HexDigit(line[i + 2]) << 4 | HexDigit(line[i + 3])));
                    i += 3;
                    continue;
                }
                ++i;
            }
            token.push_back(static_cast<uint8_t>(line[i]));
        }
        if (!token.empty()) tokens.push_back(token);
    }
    return tokens;
}

class Mutator {
  public:
    Mutator(uint64_t seed, std::vector<Input> dictionary, size_t maxLength)
        : random_(seed), dictionary_(std::move(dictionary)), maxLength_(maxLength) {}

    Input Mutate(const std::vector<Input>& pool) {
        Input data = pool.empty() ? Input{} : pool[Below(pool.size())];
        const size_t steps = 1 + Below(4);
        for (size_t i = 0; i < steps; ++i) Step(data, pool);
        if (data.size() > maxLength_) data.resize(maxLength_);
        return data;
    }

  private:
    size_t Below(size_t n) { return n ? static_cast<size_t>(random_() % n) : 0; }

    void Step(Input& data, const std::vector<Input>& pool) {
        switch (Below(8)) {
            case 0:  // flip a bit
                if (!data.empty()) data[Below(data.size())] ^= static_cast<uint8_t>(1u << Below(8));
                break;
            case 1:  // set a byte, often to a boundary value
                if (!data.empty()) {
                    static const uint8_t kInteresting[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
                    data[Below(data.size())] =
                        Below(2) ? kInteresting[Below(sizeof kInteresting)] : static_cast<uint8_t>(random_());
                }
                break;
            case 2:  // insert bytes
                data.insert(data.begin() + static_cast<long>(Below(data.size() + 1)), 1 + Below(4),
                            static_cast<uint8_t>(random_()));
                break;
            case 3:  // erase a range
                if (!data.empty()) {
                    const size_t at = Below(data.size());
                    const size_t count = 1 + Below(std::min<size_t>(16, data.size() - at));
                    data.erase(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + count));
                }
                break;
            case 4:  // copy a range elsewhere
                if (!data.empty()) {
                    const size_t from = Below(data.size());
                    const size_t count = 1 + Below(std::min<size_t>(32, data.size() - from));
                    const Input piece(data.begin() + static_cast<long>(from),
                                      data.begin() + static_cast<long>(from + count));
                    data.insert(data.begin() + static_cast<long>(Below(data.size() + 1)), piece.begin(), piece.end());
                }
                break;
            case 5:  // insert a dictionary token
            case 6:  // or write one over what is there
                if (!dictionary_.empty()) {
                    const Input& token = dictionary_[Below(dictionary_.size())];
                    const size_t at = Below(data.size() + 1);
                    if (Below(2) || at + token.size() > data.size()) {
                        data.insert(data.begin() + static_cast<long>(at), token.begin(), token.end());
                    } else {
                        std::copy(token.begin(), token.end(), data.begin() + static_cast<long>(at));
                    }
                }
                break;
            default:  // splice: this input's head, another's tail
                if (!pool.empty()) {
                    const Input& other = pool[Below(pool.size())];
                    data.resize(Below(data.size() + 1));
                    data.insert(data.end(), other.begin() + static_cast<long>(Below(other.size() + 1)), other.end());
                }
                break;
        }
    }

    std::mt19937_64 random_;
    std::vector<Input> dictionary_;
    size_t maxLength_;
};

// Written before each run, so the input of a run that never returns is on disk.
void KeepForReplay(const std::string& path, const Input& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

}  // namespace

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    const Options options = ParseOptions(argc, argv);
    std::vector<Input> corpus;
    for (const std::string& path : options.paths) Collect(path, &corpus);
    Mutator mutator(options.seed, ReadDictionary(options.dictionary), options.maxLength);
    const std::string replay = options.artifactPrefix + "smoke-input";

    uint64_t executions = 0;
    for (const Input& input : corpus) {
        KeepForReplay(replay, input);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++executions;
    }
    for (uint64_t i = 0; i < options.runs; ++i) {
        const Input input = mutator.Mutate(corpus);
        KeepForReplay(replay, input);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++executions;
    }
    std::remove(replay.c_str());
    if (options.stats)
        std::printf("smoke: %zu corpus inputs, %llu mutated, %llu executions, seed %llu, no finding\n", corpus.size(),
                    static_cast<unsigned long long>(options.runs), static_cast<unsigned long long>(executions),
                    static_cast<unsigned long long>(options.seed));
    return 0;
}
