// The do-nothing command that every timed run starts.
int main() {
  return 0;
}
