// varrowmere-perf: carries the server's performance object definition. All of its work is
// the process-wide objects built before this entry and torn down after it; the arguments
// are never read.
int main(int /*argc*/, char** /*argv*/, char** /*envp*/) { return 0; }
