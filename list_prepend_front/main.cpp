// Appends a value twice, then prepends two more, checking which element is
// first after each step, and writes what the list holds.
#include <QList>
#include <cassert>
#include <iostream>

int main()
{
    QList<int> myQList;
    myQList.append(100);
    myQList.append(100);
    assert(myQList.front() == 100);
    myQList.prepend(200);
    assert(myQList.front() == 200);
    myQList.prepend(300);
    assert(myQList.front() == 300);

    std::cout << "myQList contains:";
    for (int value : myQList)
        std::cout << " " << value;
    std::cout << std::endl;

    if (!std::cout) {
        std::cerr << "list_prepend_front: cannot write to standard output" << std::endl;
        return 1;
    }
    return 0;
}
