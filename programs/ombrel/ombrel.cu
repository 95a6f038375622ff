// ombrel: classifies handwritten digits with a four-layer network (two 5x5
// stride-2 convolutions, two fully connected layers), one kernel launch per
// layer for all images, and prints the winning digit of every image.
#include <cerrno>   // defines: errno
#include <cstdio>   // defines: printf, fprintf, fopen, fread, fwrite, putchar
#include <cstdlib>  // defines: atoi, exit
#include <cstring>  // defines: strncmp, strerror

#include "gpu_runtime.h"     // defines: the runtime API, launchKernel, CUDA_SAFE_CALL, CUT_CHECK_ERROR, mallocCheck, callocCheck, freadFully, outputOpen
#include "ombrel_kernel.cu"  // defines: executeFirstLayer .. executeFourthLayer, kernelTemplate(2)

int NUM;        // number of images to process, the grid's y extent of every launch
int g_verbose;  // 1: draw every image as text before classifying

// How a host allocation that fails is reported (mallocCheck: %1$s what, %2$zu bytes).
#define HOST_ALLOCATION_FAILED "ombrel: cannot allocate %2$zu bytes for %1$s\n"

// An input file that opened but cannot be read (a directory, an I/O error):
// not a missing file and not a short one.
static void readFailed(const char* name, int error) {
  printf("FAIL! %s CANNOT BE READ (%s)!\n", name, strerror(error));
  exit(1);
}

// The argument with its four bytes in reverse order (big-endian file words).
int swapEndianInt(int bEnum) {
  unsigned int u = (unsigned int)bEnum;
  return (int)((u >> 24) | ((u >> 8) & 0xff00u) | ((u << 8) & 0xff0000u) | (u << 24));
}

// Fills values (NUM x 841 floats) with the first NUM images of the IDX file,
// each 28x28 image in the top-left corner of a 29x29 slot whose last row and
// column are background. A pixel byte p becomes 1 - p/256 (ink low). Images
// missing from the file are blank. Ends the process if the file is missing
// or cannot be read.
void readIn(float* values) {
  const size_t count = (size_t)NUM * 841;
  int header = 0;
  unsigned char* bytes =  // (NUM, 29, 29), border left 0
      (unsigned char*)callocCheck(count, "the image bytes", HOST_ALLOCATION_FAILED);

  const char* name = "data/t10k-images-idx3-ubyte";
  FILE* f = fopen(name, "rt");
  if (f == NULL) {
    printf("FAIL! data/t10k-images-idx3-ubyte NOT FOUND!\n");
    exit(1);
  }
  // Magic number, item count, row count, column count: the last is not used.
  // All four are read before the first is printed, so that a file that
  // cannot be read prints no header.
  const char* headerFormats[3] = {"magic number = %d\n", "number of items = %d\n",
                                  "number of rows = %d\n"};
  int words[4];
  int error;
  for (int w = 0; w < 4; w++) {
    freadFully(&header, 4, f, &error);
    if (error) readFailed(name, error);
    words[w] = header;
  }
  for (int w = 0; w < 3; w++) printf(headerFormats[w], swapEndianInt(words[w]));
  // Each 28-byte image row goes straight to its row of the slot; a read at
  // the end of the file leaves the rest zero.
  for (size_t i = 0; i < (size_t)NUM; i++) {
    for (size_t j = 0; j < 28; j++) {
      freadFully(bytes + 841 * i + 29 * j, 28, f, &error);
      if (error) readFailed(name, error);
    }
  }
  fclose(f);

  for (size_t k = 0; k < count; k++) {
    values[k] = (float)bytes[k] / -256.0f + 1.0f;
  }
  free(bytes);
}

// Reads the four weight files into their arrays (156, 7800, 125100 and 1010
// floats). All four are tried before anything is reported: a missing file
// ends the process with one message for all; otherwise each file that cannot
// be read, or holds fewer values than its array, is named, and the process
// ends.
void InitHostMem(float* Layer1_Weights_CPU, float* Layer2_Weights_CPU, float* Layer3_Weights_CPU,
                 float* Layer4_Weights_CPU) {
  const char* names[4] = {"data/lw1.wei", "data/lw2.wei", "data/lw3.wei", "data/lw4.wei"};
  float* arrays[4] = {Layer1_Weights_CPU, Layer2_Weights_CPU, Layer3_Weights_CPU, Layer4_Weights_CPU};
  const size_t counts[4] = {156, 7800, 125100, 1010};
  size_t got[4] = {0, 0, 0, 0};  // values read
  int errors[4] = {0, 0, 0, 0};   // errno of a read that failed
  int missing = 0;

  for (int w = 0; w < 4; w++) {
    FILE* f = fopen(names[w], "rb");
    if (f == NULL) {
      missing = 1;
      continue;
    }
    if (w == 0) {
      for (size_t k = 0; k < counts[0] && !errors[0]; k++)
        got[0] += freadFully(&arrays[0][k], 4, f, &errors[0]) / 4;
    } else {
      got[w] = freadFully(arrays[w], 4 * counts[w], f, &errors[w]) / 4;
    }
    fclose(f);
  }

  if (missing) {
    printf("FAIL! INPUT WEIGHTS NOT FOUND!\n");
    exit(1);
  }
  int failed = 0;
  for (int w = 0; w < 4; w++) {
    if (errors[w]) {
      printf("FAIL! %s CANNOT BE READ (%s)!\n", names[w], strerror(errors[w]));
      failed = 1;
    } else if (got[w] < counts[w]) {
      printf("FAIL! %s IS TOO SHORT!\n", names[w]);
      failed = 1;
    }
  }
  if (failed) exit(1);
}

// Writes the ten scores of the first image to "out.res" as doubles. A file
// that cannot be written is reported on standard error and ends the process;
// the new file replaces the old one only once it is complete, so a failure
// leaves the old one as it was.
void output(double* values) {
  fflush(stdout);  // the result line comes before any report
  OutputFile result;
  FILE* f = outputOpen(&result, "out.res", "wb");
  if (f == NULL) {
    fprintf(stderr, "ombrel: cannot write out.res: %s\n", strerror(errno));
    exit(1);
  }
  fwrite(values, 8, 10, f);
  if (int error = outputCommit(&result)) {
    fprintf(stderr, "ombrel: cannot write out.res: %s\n", strerror(error));
    exit(1);
  }
}

// Draws every image slot as 29 lines of 29 characters after an empty line:
// "0" for a value below 0.5 (a pixel byte of 129 or more), else a space.
static void drawImages(const float* Layer1_Neurons_CPU) {
  char line[30];
  line[29] = '\n';
  for (size_t row = 0; row < (size_t)NUM * 29; row++) {
    if (row % 29 == 0) putchar('\n');
    for (int c = 0; c < 29; c++) line[c] = Layer1_Neurons_CPU[29 * row + c] < 0.5f ? '0' : ' ';
    fwrite(line, 1, 30, stdout);
  }
}

// Runs the whole classification and ends the process: status 0 after a
// complete run, 1 on any failure.
void NeuralNetwork() {
  int deviceCount;
  CUDA_SAFE_CALL(cudaGetDeviceCount(&deviceCount));
  if (deviceCount == 0) {
    fprintf(stderr, "There is no device.\n");
    exit(1);
  }
  int dev;
  for (dev = 0; dev < deviceCount; ++dev) {
    cudaDeviceProp deviceProp;
    CUDA_SAFE_CALL(cudaGetDeviceProperties(&deviceProp, dev));
    if (deviceProp.major >= 1) break;
  }
  if (dev == deviceCount) {
    fprintf(stderr, "There is no device supporting CUDA.\n");
    exit(1);
  }
  CUDA_SAFE_CALL(cudaSetDevice(dev));

  const size_t num = (size_t)NUM;
  float* Layer1_Neurons_CPU =  // (NUM, 29, 29)
      (float*)mallocCheck(num * 841 * sizeof(float), "Layer1_Neurons_CPU", HOST_ALLOCATION_FAILED);
  readIn(Layer1_Neurons_CPU);
  if (g_verbose) drawImages(Layer1_Neurons_CPU);

  float* Layer5_Neurons_CPU =  // (NUM, 10)
      (float*)mallocCheck(num * 10 * sizeof(float), "Layer5_Neurons_CPU", HOST_ALLOCATION_FAILED);
  for (size_t k = 0; k < num * 10; k++) Layer5_Neurons_CPU[k] = 0.0f;

  float Layer1_Weights_CPU[156];     // (6, 26)
  float Layer2_Weights_CPU[7800];    // (50, 156)
  float Layer3_Weights_CPU[125100];  // (100, 1251)
  float Layer4_Weights_CPU[1010];    // (10, 101)
  InitHostMem(Layer1_Weights_CPU, Layer2_Weights_CPU, Layer3_Weights_CPU, Layer4_Weights_CPU);

  float* Layer1_Neurons_GPU;  // (NUM, 29, 29)
  float* Layer1_Weights_GPU;  // (6, 26)
  float* Layer2_Neurons_GPU;  // (NUM, 6, 13, 13)
  float* Layer2_Weights_GPU;  // (50, 156)
  float* Layer3_Neurons_GPU;  // (NUM, 50, 5, 5)
  float* Layer3_Weights_GPU;  // (100, 1251)
  float* Layer4_Neurons_GPU;  // (NUM, 100)
  float* Layer4_Weights_GPU;  // (10, 101)
  float* Layer5_Neurons_GPU;  // (NUM, 10)
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer1_Neurons_GPU, num * 3364));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer1_Weights_GPU, 624));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer2_Neurons_GPU, num * 4056));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer2_Weights_GPU, 31200));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer3_Neurons_GPU, num * 5000));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer3_Weights_GPU, 500400));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer4_Neurons_GPU, num * 400));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer4_Weights_GPU, 4040));
  CUDA_SAFE_CALL(cudaMalloc((void**)&Layer5_Neurons_GPU, num * 40));

  double* Results_CPU =  // (NUM, 10)
      (double*)mallocCheck(num * 10 * sizeof(double), "Results_CPU", HOST_ALLOCATION_FAILED);

  CUDA_SAFE_CALL(cudaMemcpy(Layer1_Neurons_GPU, Layer1_Neurons_CPU, num * 3364, cudaMemcpyHostToDevice));
  CUDA_SAFE_CALL(cudaMemcpy(Layer1_Weights_GPU, Layer1_Weights_CPU, 624, cudaMemcpyHostToDevice));
  CUDA_SAFE_CALL(cudaMemcpy(Layer2_Weights_GPU, Layer2_Weights_CPU, 31200, cudaMemcpyHostToDevice));
  CUDA_SAFE_CALL(cudaMemcpy(Layer3_Weights_GPU, Layer3_Weights_CPU, 500400, cudaMemcpyHostToDevice));
  CUDA_SAFE_CALL(cudaMemcpy(Layer4_Weights_GPU, Layer4_Weights_CPU, 4040, cudaMemcpyHostToDevice));
  CUDA_SAFE_CALL(cudaMemcpy(Layer5_Neurons_GPU, Layer5_Neurons_CPU, num * 40, cudaMemcpyHostToDevice));

  printf("NUM=%d\n", NUM);

  // One launch per layer for all images; a launch error surfaces below.
  launchKernel(executeFirstLayer, dim3(6, NUM, 1), dim3(13, 13, 1), Layer1_Neurons_GPU,
               Layer1_Weights_GPU, Layer2_Neurons_GPU);
  launchKernel(executeSecondLayer, dim3(50, NUM, 1), dim3(5, 5, 1), Layer2_Neurons_GPU,
               Layer2_Weights_GPU, Layer3_Neurons_GPU);
  launchKernel(executeThirdLayer, dim3(100, NUM, 1), dim3(1, 1, 1), Layer3_Neurons_GPU,
               Layer3_Weights_GPU, Layer4_Neurons_GPU);
  launchKernel(executeFourthLayer, dim3(10, NUM, 1), dim3(1, 1, 1), Layer4_Neurons_GPU,
               Layer4_Weights_GPU, Layer5_Neurons_GPU);
  CUT_CHECK_ERROR("Kernel execution failed");

  CUDA_SAFE_CALL(cudaMemcpy(Layer5_Neurons_CPU, Layer5_Neurons_GPU, num * 40, cudaMemcpyDeviceToHost));

  // Each image's digit is the first of its highest scores: ties go to the
  // lowest digit.
  int best = 0;
  double max = 0.0;
  for (size_t k = 0; k < num * 10; k++) {
    Results_CPU[k] = (double)Layer5_Neurons_CPU[k];
    if (k % 10 == 0) {
      if (k > 0) printf("%d ", best);
      best = 0;
      max = Results_CPU[k];
    } else if (Results_CPU[k] > max) {
      max = Results_CPU[k];
      best = (int)(k % 10);
    }
  }
  printf("%d\n", best);

  output(Results_CPU);
  exit(0);
}

int main(int argc, char** argv) {
  int usage = argc < 2;
  if (!usage) NUM = atoi(argv[1]);
  for (int a = 2; a < argc; a++) {
    if (strncmp(argv[a], "-v", 2) == 0) g_verbose = 1;
    else usage = 1;
  }
  if (usage || NUM <= 0) {
    printf("Usage: ./ombrel <NUM> [-v]\n");
    printf("where NUM is the number of images to process in parallel (up to 10000 for the "
           "t10k-images-idx3-ubyte database file) and -v is used to display approximately what "
           "each image looks like.\n");
    return 1;
  }
  NeuralNetwork();
  return 0;
}
