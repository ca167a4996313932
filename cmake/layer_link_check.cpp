// Linked with every object of one layer and the layers below it: a call into a layer
// above leaves a symbol undefined and the link fails.
int main() { return 0; }
