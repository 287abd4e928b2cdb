// Takes the elements off the front of a list one at a time, checking each
// against the order they went in, and writes them and the final size.
#include <QList>
#include <cassert>
#include <iostream>

int main()
{
    QList<int> myQList;
    myQList.append(100);
    myQList.append(200);
    myQList.append(300);
    assert(myQList.front() == 100);

    // Flushed as it goes, so that what was written stays on record should a
    // check fail. First in, first out: n steps through 100, 200, 300.
    std::cout << "Popping out the elements in myQList:" << std::flush;
    int n = 100;
    while (!myQList.empty()) {
        assert(myQList.front() == n);
        std::cout << " " << myQList.front() << std::flush;
        myQList.erase(myQList.begin());
        n += 100;
    }

    std::cout << "\nFinal size of myQList is " << myQList.size() << std::endl;

    if (!std::cout) {
        std::cerr << "list_pop_front: cannot write to standard output" << std::endl;
        return 1;
    }
    return 0;
}
