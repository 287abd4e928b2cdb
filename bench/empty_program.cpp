// The start-up baseline: a program that does nothing, linked against the
// same toolkit module as the list programs.
int main()
{
    return 0;
}
