// Counts a linked list down from 10. The check claims that the last element
// differs from a counter that starts equal to it and steps down with it, so
// it fails at its first evaluation: its failure report is this program's result.
#include <QLinkedList>
#include <cassert>
#include <iostream>

int main()
{
    QLinkedList<int> myQLinkedList;
    myQLinkedList.append(10);
    int n = 10;

    while (myQLinkedList.back() != 0) {
        assert(myQLinkedList.back() != n--);
        myQLinkedList.append(myQLinkedList.back() - 1);
    }

    std::cout << "myQLinkedList contains:";
    for (int value : myQLinkedList)
        std::cout << " " << value;
    std::cout << std::endl;

    if (!std::cout) {
        std::cerr << "linked_list_countdown: cannot write to standard output" << std::endl;
        return 1;
    }
    return 0;
}
