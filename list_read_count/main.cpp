// Reads integers into a list until it reads a 0, which it stores too, and
// writes how many numbers the list holds.
#include <QList>
#include <cctype>
#include <iostream>

int main()
{
    // All input and output goes through the C++ streams, so they need not be
    // kept in step with C stdio; doing so would cost most of the reading time.
    std::ios::sync_with_stdio(false);

    QList<int> myQList;
    int value;

    // std::cin is tied to std::cout, so the prompt is flushed before each read.
    std::cout << "Please enter some integers (enter 0 to end):\n";

    // Reading also stops at the end of the input, at a token that is not a
    // whole int, or where reading fails (the stream then has its badbit set);
    // what was stored before is still counted, and the run then fails. A bad
    // token is never stored as a number it does not say.
    bool inputEnded = false;
    bool badToken = false;
    // The first look at the input is the stream's peek, which turns a read
    // that fails into the stream's bad bit; left to the whitespace skipping
    // of >>, GCC 5's C++ library lets the read's exception out instead.
    // Input that cannot be read at all (closed, a folder) fails here.
    std::cin.peek();
    do {
        // A failed >> still writes a value where there was a token it could
        // not take: 0, or the nearest limit for a number out of range. Where
        // no token was left (the input ended, or could not be read) it leaves
        // the value as it was, so the value is first set to one that no
        // failed read writes.
        value = 1;
        if (!(std::cin >> value) && value == 1) {
            inputEnded = true;
            break;
        }
        // The number must fill its token: "12abc" is not 12. The character
        // after it is looked at in the stream's buffer, without extracting
        // it: >> stopped there, so it is already read.
        if (!std::cin ||
            !(std::cin.eof() || std::isspace(std::cin.rdbuf()->sgetc()))) {
            badToken = true;
            break;
        }
        myQList.append(value);
    } while (value != 0);

    std::cout << "myQList stores " << myQList.size() << " numbers.\n";

    // Flush here rather than at exit, so that a failed write is noticed.
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "list_read_count: cannot write to standard output" << std::endl;
        return 1;
    }
    // A failed read is not the end of the input: the input may go on.
    if (std::cin.bad()) {
        std::cerr << "list_read_count: standard input could not be read" << std::endl;
        return 1;
    }
    if (inputEnded) {
        std::cerr << "list_read_count: the input ended before a 0" << std::endl;
        return 1;
    }
    if (badToken) {
        std::cerr << "list_read_count: item " << myQList.size() + 1
                  << " of the input is not a whole number from -2147483648 to 2147483647"
                  << std::endl;
        return 1;
    }
    return 0;
}
