// tessak: level-synchronous breadth-first search over a directed graph read
// from a text file, one kernel launch per level until a launch reaches no new
// node. Writes every node's hop count from the source to "result.txt".
#include <sys/stat.h>  // defines: fstat, for the size of the graph file

#include <climits>  // defines: INT_MIN
#include <cmath>    // defines: ceil
#include <cstdarg>  // defines: va_list for the graph file errors
#include <cstdio>   // defines: printf, fprintf, fopen, fclose
#include <cstdlib>  // defines: free, exit
#include <cerrno>   // defines: errno
#include <cstring>  // defines: strerror

#include "gpu_runtime.h"  // defines: the runtime API, launchKernel, checked calls, GPU_DEVICE_CODE, mallocCheck, freadFully, outputOpen
#include "cutil_timer.h"  // defines: cutCreateTimer, cutStartTimer, cutStopTimer, ...

// Threads per block; the kernel numbers its threads with the same constant.
#define MAX_THREADS_PER_BLOCK 256

int no_of_nodes;     // N
int edge_list_size;  // E
FILE* fp;            // the graph file while it is open

// One node: its outgoing edges are the edge_count entries of the edge list
// that begin at entry first_edge. Copied to the device as is (8 bytes).
struct Node {
  int first_edge;
  int edge_count;
};

#include "kernel.cu"  // defines: Kernel

// ---------------------------------------------------------------------------
// Graph file reading. The file is a sequence of decimal integers, each taken
// as the "%d" conversion takes it: leading white space of any kind skipped, an
// optional sign, then one or more digits, ending at the first character that
// is not a digit. Line breaks carry no meaning. The file is read in large
// chunks and parsed by hand; one fscanf call per value would make a graph of
// millions of edges take seconds to load.

static const char* graph_file_name;  // for the error messages
// The buffer holds read_end bytes and a NUL after them, so the scanning loops
// below stop at the end of the data without testing the position each time.
static char read_buffer[(1 << 20) + 1];
static size_t read_pos = 0;
static size_t read_end = 0;
static long long read_total = 0;   // bytes taken from the file so far
static long long file_size = -1;   // of a regular file, else -1

// Reports a malformed graph file: one line naming the file and the problem,
// then exit status 1. Nothing has reached the device at this point.
static void graphError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "tessak: %s: ", graph_file_name);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(1);
}

// Refills the buffer from the start; false at the end of the file. A file
// that cannot be read (a directory, an I/O error) is reported, never taken
// for one that ends early.
static bool refill() {
  int error;
  read_pos = 0;
  read_end = freadFully(read_buffer, sizeof(read_buffer) - 1, fp, &error);
  read_buffer[read_end] = '\0';
  read_total += (long long)read_end;
  if (error) graphError("cannot read the file: %s", strerror(error));
  return read_end > 0;
}

// Bytes of a regular file not yet parsed, or -1 when the size is unknown.
static long long bytesLeft() {
  if (file_size < 0) return -1;
  return file_size - (read_total - (long long)(read_end - read_pos));
}

// Refuses a count of `records` records of two values each when the rest of
// the file is far too short to hold them. Arrays are sized from the count, so
// a few bytes must not make the program ask for gigabytes. A record takes at
// least four bytes (two digits, two separators); only counts of over a
// million records and over two bytes a record are refused here. Any other
// file that ends early, or holds a malformed value, is reported where its
// first missing or malformed value is.
static void checkRecordsFit(const char* what, int records) {
  const long long left = bytesLeft();
  if (left >= 0 && records > (1 << 20) && 2LL * records > left)
    graphError("%s: %d records cannot fit in the %lld bytes that follow (the file ends early)", what,
               records, left);
}

// The next character without consuming it, or EOF.
static int peekChar() {
  if (read_pos == read_end && !refill()) return EOF;
  return (unsigned char)read_buffer[read_pos];
}

static inline bool isFormatSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static inline bool isDigit(int c) { return (unsigned)(c - '0') < 10; }

enum ReadStatus { READ_OK, READ_MISSING, READ_NOT_INTEGER, READ_TOO_LARGE };

// A sign that was consumed but followed by no digit, for the error message.
static char dangling_sign = 0;

// Reads one value into *value. On READ_NOT_INTEGER the offending text is left
// unread, so the caller can quote it. A value may straddle two chunks.
static inline ReadStatus readValue(int* value) {
  const char* p = read_buffer + read_pos;
  for (;;) {
    while (isFormatSpace(*p)) p++;
    if (p != read_buffer + read_end) break;  // a NUL inside the file stops here too
    if (!refill()) return READ_MISSING;
    p = read_buffer;
  }
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = (*p == '-');
    p++;
    if (p == read_buffer + read_end) {
      refill();
      p = read_buffer;
    }
    if (!isDigit(*p)) {
      read_pos = p - read_buffer;
      dangling_sign = negative ? '-' : '+';
      return READ_NOT_INTEGER;
    }
  } else if (!isDigit(*p)) {
    read_pos = p - read_buffer;
    return READ_NOT_INTEGER;
  }
  // Magnitudes above 2^31 stop growing so the sum cannot overflow; they are
  // reported once all the digits are consumed.
  long long magnitude = 0;
  for (;;) {
    while (isDigit(*p)) {
      if (magnitude <= 2147483648LL) magnitude = magnitude * 10 + (*p - '0');
      p++;
    }
    if (p != read_buffer + read_end) break;
    bool more = refill();
    p = read_buffer;
    if (!more) break;
  }
  read_pos = p - read_buffer;
  if (negative) magnitude = -magnitude;
  if (magnitude > 2147483647LL || magnitude < -2147483648LL) return READ_TOO_LARGE;
  *value = (int)magnitude;
  return READ_OK;
}

// Reads the value named by `record` ("node 3") and `field` ("edge_count"), or
// reports why it could not be read.
static int readGraphValue(const char* record, long long index, const char* field) {
  int value;
  ReadStatus status = readValue(&value);
  if (status == READ_OK) return value;

  char where[64];
  if (index >= 0)
    snprintf(where, sizeof(where), "%s %lld: %s", record, index, field);
  else
    snprintf(where, sizeof(where), "%s", record);
  if (status == READ_MISSING) graphError("%s is missing (the file ends early)", where);
  if (status == READ_TOO_LARGE) graphError("%s does not fit in a 32-bit integer", where);

  // Quote the text found instead of a number, up to the next white space.
  char found[24];
  size_t n = 0;
  if (dangling_sign) found[n++] = dangling_sign;
  int c = peekChar();
  while (n < 20 && c != EOF && !isFormatSpace(c)) {
    found[n++] = (c >= 0x20 && c < 0x7f) ? (char)c : '?';
    read_pos++;
    c = peekChar();
  }
  found[n] = '\0';
  graphError("%s is not an integer: \"%s%s\"", where, found,
             (c != EOF && !isFormatSpace(c)) ? "..." : "");
  return 0;
}

// How a host allocation that fails is reported (mallocCheck: %1$s what, %2$zu bytes).
#define HOST_ALLOCATION_FAILED "tessak: cannot allocate %2$zu bytes of host memory for the %1$s\n"

// ---------------------------------------------------------------------------
// The whole run: load the graph, search it on the device, write the hop counts.
void TessakGraph(int argc, char** argv) {
  static const char* input_file_name;
  printf("Reading File\n");
  if (argc == 2) {
    input_file_name = argv[1];
    printf("Input file: %s\n", input_file_name);
  } else {
    input_file_name = "SampleGraph.txt";
    printf("No input file specified, defaulting to SampleGraph.txt\n");
  }
  graph_file_name = input_file_name;

  // A graph that cannot be read is a failed run.
  fp = fopen(input_file_name, "r");
  if (!fp) {
    printf("Error Reading graph file\n");
    exit(1);
  }
  struct stat file_status;
  if (fstat(fileno(fp), &file_status) == 0 && S_ISREG(file_status.st_mode))
    file_size = (long long)file_status.st_size;

  int source = 0;
  no_of_nodes = readGraphValue("node count", -1, NULL);
  if (no_of_nodes < 0) graphError("node count: %d is negative", no_of_nodes);
  checkRecordsFit("node count", no_of_nodes);

  int num_of_blocks = 1;
  int num_of_threads_per_block = no_of_nodes;
  if (no_of_nodes > MAX_THREADS_PER_BLOCK) {
    num_of_blocks = (int)ceil(no_of_nodes / (double)MAX_THREADS_PER_BLOCK);
    num_of_threads_per_block = MAX_THREADS_PER_BLOCK;
  }

  size_t n = (size_t)no_of_nodes;
  Node* h_graph_nodes = (Node*)mallocCheck(sizeof(Node) * n, "node array", HOST_ALLOCATION_FAILED);       // (N)
  bool* h_graph_mask = (bool*)mallocCheck(sizeof(bool) * n, "mask array", HOST_ALLOCATION_FAILED);        // (N)
  bool* h_graph_visited = (bool*)mallocCheck(sizeof(bool) * n, "visited array", HOST_ALLOCATION_FAILED);  // (N)

  for (int i = 0; i < no_of_nodes; i++) {
    h_graph_nodes[i].first_edge = readGraphValue("node", i, "first_edge");
    h_graph_nodes[i].edge_count = readGraphValue("node", i, "edge_count");
    h_graph_mask[i] = false;
    h_graph_visited[i] = false;
  }

  source = readGraphValue("source node", -1, NULL);
  if (no_of_nodes == 0) graphError("source node: the graph has no nodes");
  if (source < 0 || source >= no_of_nodes)
    graphError("source node: %d is outside 0..%d", source, no_of_nodes - 1);
  // The kernel marks the source visited when it takes it out of the frontier.
  h_graph_mask[source] = true;

  edge_list_size = readGraphValue("edge count", -1, NULL);
  if (edge_list_size < 0) graphError("edge count: %d is negative", edge_list_size);
  checkRecordsFit("edge count", edge_list_size);
  // The kernel follows every node's run of edges unchecked, and computes
  // first_edge + edge_count in int for every node it expands.
  for (int i = 0; i < no_of_nodes; i++) {
    long long first = h_graph_nodes[i].first_edge;
    long long count = h_graph_nodes[i].edge_count;
    if (count > 0 && (first < 0 || first + count > edge_list_size))
      graphError("node %d: its %lld edges from entry %lld leave the edge list of %d entries", i,
                 count, first, edge_list_size);
    if (first + count < INT_MIN)
      graphError("node %d: first_edge %lld plus edge_count %lld does not fit in a 32-bit integer", i,
                 first, count);
  }

  int* h_graph_edges =  // (E)
      (int*)mallocCheck(sizeof(int) * (size_t)edge_list_size, "edge array", HOST_ALLOCATION_FAILED);
  for (int i = 0; i < edge_list_size; i++) {
    int id = readGraphValue("edge", i, "target");
    readGraphValue("edge", i, "cost");  // edge costs play no part in hop counts
    if (id < 0 || id >= no_of_nodes)
      graphError("edge %d: target %d is outside 0..%d", i, id, no_of_nodes - 1);
    h_graph_edges[i] = id;
  }

  fclose(fp);
  fp = NULL;
  printf("Read File\n");

  // Device copies of the graph and the search state.
  Node* d_graph_nodes;  // (N)
  CUDA_SAFE_CALL(cudaMalloc((void**)&d_graph_nodes, sizeof(Node) * n));
  CUDA_SAFE_CALL(cudaMemcpy(d_graph_nodes, h_graph_nodes, sizeof(Node) * n, cudaMemcpyHostToDevice));

  int* d_graph_edges;  // (E)
  CUDA_SAFE_CALL(cudaMalloc((void**)&d_graph_edges, sizeof(int) * (size_t)edge_list_size));
  CUDA_SAFE_CALL(cudaMemcpy(d_graph_edges, h_graph_edges, sizeof(int) * (size_t)edge_list_size,
                            cudaMemcpyHostToDevice));

  bool* d_graph_mask;  // (N)
  CUDA_SAFE_CALL(cudaMalloc((void**)&d_graph_mask, sizeof(bool) * n));
  CUDA_SAFE_CALL(cudaMemcpy(d_graph_mask, h_graph_mask, sizeof(bool) * n, cudaMemcpyHostToDevice));

  bool* d_graph_visited;  // (N)
  CUDA_SAFE_CALL(cudaMalloc((void**)&d_graph_visited, sizeof(bool) * n));
  CUDA_SAFE_CALL(
      cudaMemcpy(d_graph_visited, h_graph_visited, sizeof(bool) * n, cudaMemcpyHostToDevice));

  int* h_cost = (int*)mallocCheck(sizeof(int) * n, "cost array", HOST_ALLOCATION_FAILED);  // (N)
  for (int i = 0; i < no_of_nodes; i++) h_cost[i] = -1;
  h_cost[source] = 0;

  int* d_cost;  // (N)
  CUDA_SAFE_CALL(cudaMalloc((void**)&d_cost, sizeof(int) * n));
  CUDA_SAFE_CALL(cudaMemcpy(d_cost, h_cost, sizeof(int) * n, cudaMemcpyHostToDevice));

  bool* d_over;  // set by a launch that puts a node into the next frontier
  CUDA_SAFE_CALL(cudaMalloc((void**)&d_over, sizeof(bool)));

  printf("Copied Everything to GPU memory\n");

  dim3 grid(num_of_blocks, 1, 1);
  dim3 threads(num_of_threads_per_block, 1, 1);

  unsigned int timer = 0;
  float elapsed = 0;
  CUT_SAFE_CALL(cutCreateTimer(&timer));
  CUT_SAFE_CALL(cutStartTimer(timer));

  // One launch per level; the launch count is also the current frontier's hop count.
  int k = 0;
  bool h_over;
  do {
    h_over = false;
    CUDA_SAFE_CALL(cudaMemcpy(d_over, &h_over, sizeof(bool), cudaMemcpyHostToDevice));
    CUT_SAFE_CALL(cutStartTimer(timer));
    launchKernel(Kernel, grid, threads, d_graph_nodes, d_graph_edges, d_graph_mask,
                 d_graph_visited, d_cost, d_over, no_of_nodes, k);
    CUDA_SAFE_CALL(cudaThreadSynchronize());
    CUT_SAFE_CALL(cutStopTimer(timer));
    elapsed += cutGetTimerValue(timer);
    CUT_SAFE_CALL(cutResetTimer(timer));
    CUT_CHECK_ERROR("Kernel execution failed");
    CUDA_SAFE_CALL(cudaMemcpy(&h_over, d_over, sizeof(bool), cudaMemcpyDeviceToHost));
    k++;
  } while (h_over);

  printf("Kernel Executed %d times\n", k);

  CUDA_SAFE_CALL(cudaMemcpy(h_cost, d_cost, sizeof(int) * n, cudaMemcpyDeviceToHost));

  CUT_SAFE_CALL(cutStopTimer(timer));
  printf("Processing time: %f (ms)\n", (double)elapsed);
  CUT_SAFE_CALL(cutDeleteTimer(timer));

  // Written beside the old result.txt and renamed over it once complete: a
  // write that fails leaves the old file as it was.
  OutputFile result;
  FILE* fpo = outputOpen(&result, "result.txt", "w");
  if (!fpo) {
    fprintf(stderr, "tessak: cannot create result.txt: %s\n", strerror(errno));
    exit(1);
  }
  for (int i = 0; i < no_of_nodes; i++) fprintf(fpo, "%d) cost:%d\n", i, h_cost[i]);
  if (int error = outputCommit(&result)) {
    fprintf(stderr, "tessak: cannot write result.txt: %s\n", strerror(error));
    exit(1);
  }
  printf("Result stored in result.txt\n");

  free(h_graph_nodes);
  free(h_graph_edges);
  free(h_graph_mask);
  free(h_graph_visited);
  free(h_cost);

  CUDA_SAFE_CALL(cudaFree(d_graph_nodes));
  CUDA_SAFE_CALL(cudaFree(d_graph_edges));
  CUDA_SAFE_CALL(cudaFree(d_graph_mask));
  CUDA_SAFE_CALL(cudaFree(d_graph_visited));
  CUDA_SAFE_CALL(cudaFree(d_cost));
}

int main(int argc, char** argv) {
  no_of_nodes = 0;
  edge_list_size = 0;
  TessakGraph(argc, argv);
  return 0;
}
