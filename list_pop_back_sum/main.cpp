// Takes the elements off the back of a list one at a time, checking each
// against the reverse of the order they went in, and writes their sum.
#include <QList>
#include <cassert>
#include <iostream>

int main()
{
    QList<int> myQList;

    myQList.append(100);
    myQList.append(200);
    myQList.append(300);
    assert(myQList.back() == 300);

    int sum = 0, n = 3; // last in, first out: n counts down 3, 2, 1
    while (!myQList.empty()) {
        assert(myQList.back() == n*100);
        sum += myQList.back();
        myQList.erase(myQList.end() - 1);
        --n;
    }

    std::cout << "The elements of myQList summed " << sum << std::endl;

    if (!std::cout) {
        std::cerr << "list_pop_back_sum: cannot write to standard output" << std::endl;
        return 1;
    }
    return 0;
}
