// Kernel: one level of the breadth-first search. Included by tessak.cu, which
// defines Node and MAX_THREADS_PER_BLOCK before it.

// Expands the current frontier by one level. One thread per node: thread
// blockIdx.x * MAX_THREADS_PER_BLOCK + threadIdx.x handles that node, and
// threads numbered no_of_nodes or more do nothing, so the grid may overhang N.
// The grid is one-dimensional with blocks of at most MAX_THREADS_PER_BLOCK.
//
// The frontier is the set of nodes whose mask is true and whose cost equals
// `level` (the hop count of the current frontier, which the host passes as the
// number of launches made so far). A frontier node leaves the frontier, is
// marked visited, and puts each edge target that was never reached into the
// next frontier with cost level + 1; *g_over becomes true when any node is put
// there.
//
// Threads of one launch run in no fixed order, and the mask buffer serves as
// the current and the next frontier at once. Two tests keep the hop counts
// exact whatever the order:
//  - A node is expanded only if its cost equals `level`. A node put into the
//    next frontier earlier in this launch has cost level + 1 and waits for the
//    next launch instead of being expanded a level early.
//  - A target is taken only if its cost is still -1. The cost entry of a frontier
//    node was written in an earlier launch and never changes again, so an edge
//    between two frontier nodes cannot raise the target's cost or put it back
//    into the frontier, even when the target's own thread has not yet marked it
//    visited. Every store into a cost entry in this launch writes level + 1.
__global__ void Kernel(Node* g_graph_nodes, int* g_graph_edges, bool* g_graph_mask,
                       bool* g_graph_visited, int* g_cost, bool* g_over, int no_of_nodes,
                       int level) {
  unsigned int tid = blockIdx.x * MAX_THREADS_PER_BLOCK + threadIdx.x;
  if ((int)tid < no_of_nodes && g_graph_mask[tid] && g_cost[tid] == level) {
    g_graph_mask[tid] = false;
    g_graph_visited[tid] = true;
    for (int i = g_graph_nodes[tid].first_edge;
         i < g_graph_nodes[tid].first_edge + g_graph_nodes[tid].edge_count; i++) {
      int id = g_graph_edges[i];
      if (!g_graph_visited[id] && g_cost[id] == -1) {
        g_cost[id] = level + 1;
        g_graph_mask[id] = true;
        *g_over = true;
      }
    }
  }
}

GPU_DEVICE_CODE(GPU_KERNEL(Kernel, "_Z6KernelP4NodePiPbS2_S1_S2_ii"))
