// The ombrel digit network on the host, for training: the same four layers,
// the same weight-file layouts and, in the forward pass, exactly the same
// arithmetic as ombrel's kernels (each accumulation one fmaf in the kernels'
// order, the same tanh evaluation), so a trained network scores here what it
// scores in ombrel.
//
// Layers (values per image):
//   input   841  the 29x29 slot: 28x28 pixels p as p / -256 + 1, border 1.0
//   layer 1 1014 6 maps of 13x13, 5x5 windows at stride 2 over the slot
//   layer 2 1250 50 maps of 5x5, 5x5 windows at stride 2 over all 6 maps
//   layer 3  100 fully connected
//   layer 4   10 fully connected, one score per digit
// Every neuron is 1.7159 tanh(0.6666667 (bias + weighted sum)).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel_net {

inline constexpr int kSlotSide = 29;
inline constexpr int kSlotSize = 841;
inline constexpr int kImageSide = 28;

inline constexpr int kMaps1 = 6, kSide1 = 13, kCells1 = 169, kNeurons1 = 1014;
inline constexpr int kMaps2 = 50, kSide2 = 5, kCells2 = 25, kNeurons2 = 1250;
inline constexpr int kNeurons3 = 100;
inline constexpr int kOutputs = 10;

// Weight-file sizes in floats, and the group size of each output map/neuron.
inline constexpr int kWeights1 = 156, kGroup1 = 26;
inline constexpr int kWeights2 = 7800, kGroup2 = 156, kInputs2 = 150;  // floats 151..155 of a group are unused
inline constexpr int kWeights3 = 125100, kGroup3 = 1251;
inline constexpr int kWeights4 = 1010, kGroup4 = 101;

/// Offsets of the 5x5 window cells from the window's top-left element, in
/// the 29-wide slot and in a 13-wide layer-1 map.
inline constexpr std::array<int, 25> kWindow1 = {0,  1,  2,  3,  4,  29, 30, 31, 32, 33, 58, 59, 60,
                                                 61, 62, 87, 88, 89, 90, 91, 116, 117, 118, 119, 120};
inline constexpr std::array<int, 25> kWindow2 = {0,  1,  2,  3,  4,  13, 14, 15, 16, 17, 26, 27, 28,
                                                 29, 30, 39, 40, 41, 42, 43, 52, 53, 54, 55, 56};

/// 1.7159 tanh(0.6666667 sum), evaluated step by step as the kernels do.
float activation(float sum);

/// d activation / d sum at the neuron whose output is `out`:
/// 1.7159 * 0.6666667 * (1 - tanh^2), with tanh = out / 1.7159.
float activation_slope(float out);

/// Fills a 29x29 slot from one 28x28 image of pixel bytes.
void encode_slot(std::span<const std::uint8_t, 784> pixels, std::span<float, kSlotSize> slot);

/// The four weight arrays in the layout of data/lw1.wei ... data/lw4.wei.
struct Weights {
  std::vector<float> layer1 = std::vector<float>(kWeights1);
  std::vector<float> layer2 = std::vector<float>(kWeights2);
  std::vector<float> layer3 = std::vector<float>(kWeights3);
  std::vector<float> layer4 = std::vector<float>(kWeights4);
};

/// Reads lw1.wei ... lw4.wei from `folder`; each must hold at least its count
/// of floats. Returns false with a message naming the file, also when it
/// cannot be read at all (a directory, an I/O error).
bool read_weights(const std::filesystem::path& folder, Weights& weights, std::string& error);

/// Fills `values` from the start of a weight file's bytes, which must hold at
/// least values.size() floats; messages name the file `name`.
bool parse_floats(const std::string& name, std::string_view bytes, std::vector<float>& values, std::string& error);

/// Writes lw1.wei ... lw4.wei into `folder`, each under a temporary name:
/// all four are written in full before any is renamed into place, so a
/// failed write leaves the old set whole.
bool write_weights(const std::filesystem::path& folder, const Weights& weights, std::string& error);

/// All trainable values in one flat array, in training layout: layers 1, 2
/// and 4 as in their files, layer 3 transposed (row 0 the 100 biases, row
/// 1 + j the 100 weights of input j) so that its sums run across neurons.
inline constexpr std::size_t kOffset1 = 0;
inline constexpr std::size_t kOffset2 = kOffset1 + kWeights1;
inline constexpr std::size_t kOffset3 = kOffset2 + kWeights2;
inline constexpr std::size_t kOffset4 = kOffset3 + kWeights3;
inline constexpr std::size_t kParameters = kOffset4 + kWeights4;

std::vector<float> to_parameters(const Weights& weights);
Weights to_weights(std::span<const float> parameters);

/// Scratch and results of one image's pass; reused from image to image.
struct Pass {
  // The inputs of every window, gathered so that the sums run across cells:
  // patches1[k][cell] is window cell k of layer-1 cell `cell`, and
  // patches2[6 k + m][cell] window cell k in input map m of layer-2 cell
  // `cell`; the padding cells stay 0. The backward pass reads layer 2's
  // patches cell by cell: patches2_by_cell[cell][6 k + m].
  static constexpr int kCells1Padded = 176, kCells2Padded = 32;
  std::array<float, 25 * kCells1Padded> patches1{};
  std::array<float, kInputs2 * kCells2Padded> patches2{};
  std::array<float, kCells2 * kInputs2> patches2_by_cell{};
  std::array<float, kNeurons1> neurons1{};
  std::array<float, kNeurons2> neurons2{};
  std::array<float, kNeurons3> neurons3{};
  std::array<float, kOutputs> outputs{};
  // Gradients of the loss with respect to the sums (deltas) and inputs.
  std::array<float, kNeurons1> delta1{};
  std::array<float, kNeurons2> delta2{};
  std::array<float, kNeurons3> delta3{};
  std::array<float, kOutputs> delta4{};
  std::array<float, kCells2 * kInputs2> patch_gradients2{};  // by cell, like patches2_by_cell
};

/// Runs the network on one slot; the ten scores land in pass.outputs.
void forward(std::span<const float> parameters, std::span<const float, kSlotSize> slot, Pass& pass);

/// After forward(): adds to `gradients` (training layout) the gradient of
/// 0.5 * sum over digits of (output - target)^2, with target +1 for `label`
/// and -1 for the other digits. Returns that loss.
float backward(std::span<const float> parameters, int label, Pass& pass, std::span<float> gradients);

/// The winning digit of ten scores: the highest, ties to the lowest digit.
int winning_digit(std::span<const float, kOutputs> outputs);

}  // namespace ombrel_net
