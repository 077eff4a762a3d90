/* The least a started program can do: linked statically, so no loader runs. */
int main(void) {
    return 0;
}
