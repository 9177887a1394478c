// Linked with one subsystem's every object and the libraries it builds on, this program exists
// only for its link to fail when the subsystem calls code it does not depend on.
int main() {
    return 0;
}
