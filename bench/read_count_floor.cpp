// The least that list_read_count's reading can cost: ints extracted with >>
// from std::cin, tied to std::cout as there, into a QList<int> up to a 0, and
// the count written. Nothing is checked beyond what >> checks itself.
#include <QList>
#include <iostream>

int main()
{
    std::ios::sync_with_stdio(false);
    QList<int> numbers;
    int value;
    while (std::cin >> value) {
        numbers.append(value);
        if (value == 0)
            break;
    }
    std::cout << numbers.size() << '\n';
}
