// Training the digit network: mini-batch gradient descent with Adam steps
// on distorted copies of the training digits. A run is a pure function of
// its settings and data: the thread count changes only how fast it goes.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "digits/idx.h"
#include "train-ombrel/distort.h"
#include "train-ombrel/network.h"

namespace ombrel_net {

struct TrainingSettings {
  int epochs = 300;
  int batch = 16;
  float rate = 1e-3f;         ///< Adam step size at the start
  float final_rate = 1e-5f;   ///< step size at the end; it falls geometrically in between
  std::uint64_t seed = 1;
  int threads = 2;            ///< 1 or 2
  bool distort = true;
  /// Decoupled weight decay: each step also shrinks every weight (not the
  /// biases) by rate * weight_decay of itself.
  float weight_decay = 0.0f;
  /// The result is an exponential moving average of the weights over the
  /// steps, each step keeping this share of the average (0: the last weights).
  float average = 0.999f;
  DistortionSettings distortion;
};

struct EpochReport {
  int epoch = 0;              ///< from 1
  double loss = 0;            ///< mean loss over the epoch's (distorted) images
  double error_rate = 0;      ///< share of them misclassified while training
  double validation_accuracy = -1;  ///< of the averaged weights on the validation set, if one was given
  double seconds = 0;         ///< since training began
};

/// Random starting weights for `seed`: uniform in +-sqrt(3 / inputs) per
/// neuron, unused layer-2 floats 0.
std::vector<float> initial_parameters(std::uint64_t seed);

/// Share of `set` that `parameters` classify correctly (undistorted images).
double accuracy(std::span<const float> parameters, const digits::DigitSet& set);

/// Trains from initial_parameters(settings.seed) on `training` and returns the
/// (averaged) parameters, training layout. After each epoch calls `report`; the
/// validation accuracy is measured only when `validation` is non-empty.
std::vector<float> train(const digits::DigitSet& training, const digits::DigitSet& validation,
                         const TrainingSettings& settings, const std::function<void(const EpochReport&)>& report);

}  // namespace ombrel_net
