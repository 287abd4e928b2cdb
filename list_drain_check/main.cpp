// Fills a list with 1 to 10 and drains it from the front. The last check
// claims that the drained list still holds something, so it fails on every
// run: its failure report is this program's result.
#include <QList>
#include <cassert>

int main()
{
    QList<int> myQList;

    for (int i = 1; i <= 10; ++i)
        myQList.append(i);

    assert(!myQList.empty());

    while (!myQList.empty())
        myQList.erase(myQList.begin());

    // Fails by design: the list is empty and its size is 0.
    assert(!myQList.empty()||(myQList.size() != 0));
    return 0;
}
