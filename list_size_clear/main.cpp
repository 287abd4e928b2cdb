// Fills a list, clears it and fills it again, checking its size at each stage
// and writing what it holds before and after.
#include <QList>
#include <cassert>
#include <iostream>

int main()
{
    QList<int> myQList;
    myQList.append(100);
    myQList.append(200);
    myQList.append(300);

    std::cout << "myQList contains:";
    for (int value : myQList)
        std::cout << " " << value;
    // Flushed so that the line stays on record should a check below fail.
    std::cout << std::flush;
    assert(myQList.size() == 3);
    myQList.clear();
    assert(myQList.size() == 0);
    myQList.append(1101);
    myQList.append(2202);
    assert(myQList.size() == 2);

    // The newline ends the first line, which stayed open for the checks.
    std::cout << "\nmyQList contains:";
    for (int value : myQList)
        std::cout << " " << value;
    std::cout << std::endl;

    if (!std::cout) {
        std::cerr << "list_size_clear: cannot write to standard output" << std::endl;
        return 1;
    }
    return 0;
}
