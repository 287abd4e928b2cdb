// read_count_cases SEED COUNT
//
// Writes COUNT random input cases for list_read_count to standard output as a
// tar archive of the reference files that device/check-outcome reads
// (case-N.stdin, .stdout, .stderr and .ending). An archive on standard output
// comes back alike from a program run here, under an emulator or on a
// device over ssh, where a folder of this machine's could not be written. Some inputs are well formed: numbers with random signs, leading
// zeros and whitespace, a 0 at a random place and anything after it. Others
// are not: a junk token, a number outside the int range, or no 0 at all.
//
// The expected outcome comes from a model of the reading rules written here
// from scratch, independent of the program's stream extraction: the input is
// split at whitespace; each token must be an optional sign and decimal digits
// with a value that fits an int; reading stops after the first 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

const char *const whitespace = " \t\n\v\f\r";

struct Outcome {
    std::string stdout_text;
    std::string stderr_text;
    int exit_status;
};

bool isWhitespace(char c)
{
    return std::string(whitespace).find(c) != std::string::npos;
}

// Whether a token is an int, and its value if so.
bool readsAsInt(const std::string &token, std::int64_t &value)
{
    std::size_t i = 0;
    bool negative = false;
    if (token[i] == '+' || token[i] == '-')
        negative = token[i++] == '-';
    if (i == token.size())
        return false;
    std::int64_t magnitude = 0;
    for (; i < token.size(); ++i) {
        if (token[i] < '0' || token[i] > '9')
            return false;
        magnitude = magnitude * 10 + (token[i] - '0');
        if (magnitude > 2147483648LL)
            return false;
    }
    value = negative ? -magnitude : magnitude;
    return value >= -2147483648LL && value <= 2147483647LL;
}

Outcome expectedOutcome(const std::string &input)
{
    std::vector<std::string> tokens;
    std::string token;
    for (char c : input) {
        if (isWhitespace(c)) {
            if (!token.empty())
                tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty())
        tokens.push_back(token);

    std::size_t stored = 0;
    std::string error;
    for (;;) {
        if (stored == tokens.size()) {
            error = "list_read_count: the input ended before a 0\n";
            break;
        }
        std::int64_t value = 0;
        if (!readsAsInt(tokens[stored], value)) {
            error = "list_read_count: item " + std::to_string(stored + 1)
                    + " of the input is not a whole number from -2147483648 to 2147483647\n";
            break;
        }
        ++stored;
        if (value == 0)
            break;
    }
    return {"Please enter some integers (enter 0 to end):\nmyQList stores "
                    + std::to_string(stored) + " numbers.\n",
            error, error.empty() ? 0 : 1};
}

class InputGenerator
{
public:
    explicit InputGenerator(unsigned seed) : random(seed) {}

    std::string next()
    {
        std::vector<std::string> tokens;
        const int before = pick(0, 12);
        for (int i = 0; i < before; ++i)
            tokens.push_back(nonZeroNumber());
        const int shape = pick(0, 9);
        if (shape <= 5) { // well formed: a 0, then anything
            tokens.push_back(zero());
            for (int i = pick(0, 3); i > 0; --i)
                tokens.push_back(pick(0, 1) ? nonZeroNumber() : junk());
        } else if (shape <= 7) { // a bad token before any 0
            tokens.insert(tokens.begin() + pick(0, before), pick(0, 1) ? junk() : outOfRange());
            tokens.push_back(zero());
        } // else: the input ends without a 0

        std::string input = pick(0, 3) == 0 ? space() : "";
        for (std::size_t i = 0; i < tokens.size(); ++i)
            input += (i == 0 ? "" : space()) + tokens[i];
        if (pick(0, 3) != 0)
            input += pick(0, 1) ? "\n" : space();
        return input;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

    std::string sign() { return std::string(pick(0, 5) == 0 ? "+" : pick(0, 2) == 0 ? "-" : ""); }
    std::string leadingZeros() { return std::string(pick(0, 4) == 0 ? pick(1, 3) : 0, '0'); }

    std::string nonZeroNumber()
    {
        std::int64_t magnitude;
        switch (pick(0, 3)) {
        case 0: magnitude = pick(1, 9); break;
        case 1: magnitude = pick(10, 99999); break;
        case 2: magnitude = pick(100000, 2147483647); break;
        default: magnitude = std::int64_t(pick(2147483640, 2147483647)) + pick(0, 1); break; // at the limits
        }
        std::string text = sign();
        if (magnitude == 2147483648LL)
            text = "-";
        return text + leadingZeros() + std::to_string(magnitude);
    }

    std::string zero() { return sign() + std::string(pick(1, 3), '0'); }

    std::string outOfRange()
    {
        const std::int64_t magnitude = 2147483648LL + pick(0, 1000000) * std::int64_t(pick(1, 9));
        if (pick(0, 3) == 0)
            return sign() + "99999999999999999999999";
        return pick(0, 1) ? "-" + std::to_string(magnitude + 1)
                          : (pick(0, 2) ? "" : "+") + std::to_string(magnitude);
    }

    std::string junk()
    {
        static const std::vector<std::string> samples = {
            "five", "12abc", "1.5", "-", "+", "--3", "+-3", "0x1F", "7e3", "1,000", "abc12", "\x01", "\xc3\xa9",
        };
        return samples[pick(0, int(samples.size()) - 1)];
    }

    std::string space()
    {
        std::string text;
        for (int i = pick(1, 3); i > 0; --i)
            text += whitespace[pick(0, 5)];
        return text;
    }

    std::mt19937 random;
};

// Appends a file of TEXT named NAME to the tar archive on standard output:
// a POSIX ustar header, then the bytes padded to whole blocks of 512.
void writeFile(const std::string &name, const std::string &text)
{
    char header[512] = {};
    std::snprintf(header, 100, "%s", name.c_str());
    std::snprintf(header + 100, 8, "%07o", 0644);
    std::snprintf(header + 108, 8, "%07o", 0);
    std::snprintf(header + 116, 8, "%07o", 0);
    std::snprintf(header + 124, 12, "%011llo", static_cast<unsigned long long>(text.size()));
    std::snprintf(header + 136, 12, "%011o", 0);
    header[156] = '0';
    std::memcpy(header + 257, "ustar", 6);
    std::memcpy(header + 263, "00", 2);
    // The checksum is taken with its own field as spaces.
    std::memset(header + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : header)
        sum += c;
    std::snprintf(header + 148, 8, "%06o", sum);
    std::cout.write(header, sizeof header);
    std::cout << text;
    std::cout << std::string((512 - text.size() % 512) % 512, '\0');
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: read_count_cases SEED COUNT\n";
        return 2;
    }
    InputGenerator generator(static_cast<unsigned>(std::stoul(argv[1])));
    const int count = std::stoi(argv[2]);
    for (int n = 1; n <= count; ++n) {
        const std::string input = generator.next();
        const Outcome outcome = expectedOutcome(input);
        const std::string caseFile = "case-" + std::to_string(n);
        writeFile(caseFile + ".stdin", input);
        writeFile(caseFile + ".stdout", outcome.stdout_text);
        writeFile(caseFile + ".stderr", outcome.stderr_text);
        writeFile(caseFile + ".ending", "exit " + std::to_string(outcome.exit_status) + "\n");
    }
    // The archive ends with two empty blocks.
    std::cout << std::string(1024, '\0');
    if (!std::cout.flush()) {
        std::cerr << "read_count_cases: cannot write the archive\n";
        return 2;
    }
    return 0;
}
