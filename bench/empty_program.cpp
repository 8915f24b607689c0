// Nothing at all, linked with the Linux program's libraries: the resident
// memory that loading them costs, to set beside the program's own.
int main() { return 0; }
