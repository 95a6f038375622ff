// The training loop.
#include "train-ombrel/trainer.h"

#include <barrier>
#include <chrono>
#include <cmath>
#include <memory>
#include <numeric>
#include <thread>

#include "digits/random.h"

namespace ombrel_net {
namespace {

// Independent random streams of one seed.
constexpr std::uint64_t kInitialStream = 0;
constexpr std::uint64_t kOrderStream = 1;
constexpr std::uint64_t kDistortionSeedMix = 0x6A09E667F3BCC909ull;

// A batch is always cut into two halves, each summed in sample order into its
// own gradient; adding the halves in a fixed order makes the result the same
// whether one thread or two do the work.
constexpr int kShards = 2;

struct Shard {
  explicit Shard(const DistortionSettings& distortion) : distorter(distortion), gradients(kParameters) {}
  Pass pass;
  Distorter distorter;
  std::vector<float> gradients;
  std::array<float, kSlotSize> slot{};
  double loss = 0;
  int errors = 0;
};

// The slot's values are mostly background 1.0, so the first layer's inputs
// are far from zero mean, which makes its weight gradients move together and
// slows learning. Training therefore steps in coordinates where those inputs
// are centred: sum = b' + sum_k w_k (x_k - kInputMean), i.e. the real bias is
// b = b' - kInputMean * sum_k w_k. Only the steps change; every forward pass
// still runs on the real weights.
constexpr float kInputMean = 0.87f;

void to_centred(std::span<float> parameters) {
  for (int b = 0; b < kMaps1; ++b) {
    float* group = parameters.data() + kOffset1 + kGroup1 * b;
    for (int k = 1; k < kGroup1; ++k) group[0] += kInputMean * group[k];
  }
}

void from_centred(std::span<const float> centred, std::span<float> parameters) {
  std::copy(centred.begin() + kOffset1, centred.begin() + kOffset2, parameters.begin() + kOffset1);
  for (int b = 0; b < kMaps1; ++b) {
    float* group = parameters.data() + kOffset1 + kGroup1 * b;
    for (int k = 1; k < kGroup1; ++k) group[0] -= kInputMean * group[k];
  }
}

// Gradient with respect to the centred coordinates, from the real one.
void centre_gradient(std::span<float> gradient) {
  for (int b = 0; b < kMaps1; ++b) {
    float* group = gradient.data() + kOffset1 + kGroup1 * b;
    for (int k = 1; k < kGroup1; ++k) group[k] -= kInputMean * group[0];
  }
}

void fill_uniform(std::span<float> values, float limit, digits::Random& random) {
  for (float& v : values) v = random.uniform(-limit, limit);
}

}  // namespace

std::vector<float> initial_parameters(std::uint64_t seed) {
  digits::Random random = digits::Random::stream(seed, kInitialStream);
  Weights w;
  fill_uniform(w.layer1, std::sqrt(3.0f / 25.0f), random);
  for (int b = 0; b < kMaps2; ++b)
    fill_uniform(std::span(w.layer2).subspan(kGroup2 * b, 1 + kInputs2), std::sqrt(3.0f / kInputs2), random);
  fill_uniform(w.layer3, std::sqrt(3.0f / kNeurons2), random);
  fill_uniform(w.layer4, std::sqrt(3.0f / kNeurons3), random);
  return to_parameters(w);
}

double accuracy(std::span<const float> parameters, const digits::DigitSet& set) {
  if (set.size() == 0) return 0;
  auto pass = std::make_unique<Pass>();
  std::array<float, kSlotSize> slot{};
  std::size_t correct = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    encode_slot(set.image(i), slot);
    forward(parameters, slot, *pass);
    correct += winning_digit(pass->outputs) == set.labels[i];
  }
  return static_cast<double>(correct) / static_cast<double>(set.size());
}

namespace {

// Adam steps on all parameters, with decoupled weight decay for the weights
// (not the biases), taken in centred first-layer coordinates; keeps the
// running average of the real parameters.
class Optimiser {
 public:
  Optimiser(const TrainingSettings& settings, std::vector<float> initial)
      : settings_(settings), parameters_(std::move(initial)), stepped_(parameters_), average_(parameters_),
        first_moment_(kParameters), second_moment_(kParameters), decays_(kParameters, settings.weight_decay) {
    to_centred(stepped_);
    for (int b = 0; b < kMaps1; ++b) decays_[kOffset1 + kGroup1 * b] = 0;
    for (int b = 0; b < kMaps2; ++b) decays_[kOffset2 + kGroup2 * b] = 0;
    for (int n = 0; n < kNeurons3; ++n) decays_[kOffset3 + n] = 0;
    for (int d = 0; d < kOutputs; ++d) decays_[kOffset4 + kGroup4 * d] = 0;
  }

  const std::vector<float>& parameters() const { return parameters_; }
  const std::vector<float>& average() const { return average_; }

  /// One step down `gradient` (real coordinates; it is changed), at `rate`.
  void step(std::vector<float>& gradient, float rate) {
    constexpr float kBeta1 = 0.9f, kBeta2 = 0.999f, kEpsilon = 1e-8f;
    steps_ += 1;
    const float correction1 = 1.0f - static_cast<float>(std::pow(kBeta1, steps_));
    const float correction2 = 1.0f - static_cast<float>(std::pow(kBeta2, steps_));
    centre_gradient(gradient);
    for (std::size_t p = 0; p < kParameters; ++p) {
      const float g = gradient[p];
      first_moment_[p] = kBeta1 * first_moment_[p] + (1.0f - kBeta1) * g;
      second_moment_[p] = kBeta2 * second_moment_[p] + (1.0f - kBeta2) * g * g;
      stepped_[p] -= rate * ((first_moment_[p] / correction1) / (std::sqrt(second_moment_[p] / correction2) + kEpsilon) +
                             decays_[p] * stepped_[p]);
    }
    std::copy(stepped_.begin() + kOffset2, stepped_.end(), parameters_.begin() + kOffset2);
    from_centred(stepped_, parameters_);
    // Early on the average follows the weights closely; it settles to the
    // full share as the steps accumulate.
    const float keep = std::min(settings_.average, static_cast<float>((1.0 + steps_) / (10.0 + steps_)));
    for (std::size_t p = 0; p < kParameters; ++p) average_[p] = keep * average_[p] + (1.0f - keep) * parameters_[p];
  }

 private:
  const TrainingSettings& settings_;
  std::vector<float> parameters_;  // real coordinates: what the passes use
  std::vector<float> stepped_;     // what the steps update: layer 1 centred
  std::vector<float> average_;
  std::vector<float> first_moment_, second_moment_, decays_;
  double steps_ = 0;
};

}  // namespace

std::vector<float> train(const digits::DigitSet& training, const digits::DigitSet& validation,
                         const TrainingSettings& settings, const std::function<void(const EpochReport&)>& report) {
  const auto start = std::chrono::steady_clock::now();
  Optimiser optimiser(settings, initial_parameters(settings.seed));
  std::vector<std::unique_ptr<Shard>> shards;
  for (int s = 0; s < kShards; ++s) shards.push_back(std::make_unique<Shard>(settings.distortion));
  std::vector<float> gradient(kParameters);

  const std::size_t n = training.size();
  const std::size_t batch = static_cast<std::size_t>(std::max(settings.batch, 1));
  const double total_steps = static_cast<double>((n + batch - 1) / batch) * settings.epochs;
  std::vector<std::uint32_t> order(n);

  // The current batch, read by both shards between the two barrier waits.
  int epoch = 0;
  std::size_t batch_begin = 0, batch_end = 0;
  auto run_shard = [&](int s) {
    Shard& shard = *shards[s];
    const std::vector<float>& parameters = optimiser.parameters();
    std::fill(shard.gradients.begin(), shard.gradients.end(), 0.0f);
    const std::size_t middle = batch_begin + (batch_end - batch_begin + 1) / 2;
    const std::size_t first = s == 0 ? batch_begin : middle, last = s == 0 ? middle : batch_end;
    for (std::size_t position = first; position < last; ++position) {
      const std::size_t i = order[position];
      if (settings.distort) {
        digits::Random random = digits::Random::stream(settings.seed ^ kDistortionSeedMix,
                                                       static_cast<std::uint64_t>(epoch) * n + position);
        shard.distorter.distort(training.image(i), random, shard.slot);
      } else {
        encode_slot(training.image(i), shard.slot);
      }
      forward(parameters, shard.slot, shard.pass);
      shard.errors += winning_digit(shard.pass.outputs) != training.labels[i];
      shard.loss += backward(parameters, training.labels[i], shard.pass, shard.gradients);
    }
  };

  // The second thread, if any, runs shard 1 of every batch.
  bool stopping = false;
  std::barrier sync(settings.threads >= 2 ? 2 : 1);
  std::jthread helper;
  if (settings.threads >= 2) {
    helper = std::jthread([&] {
      for (;;) {
        sync.arrive_and_wait();
        if (stopping) return;
        run_shard(1);
        sync.arrive_and_wait();
      }
    });
  }

  double step = 0;
  for (epoch = 0; epoch < settings.epochs; ++epoch) {
    std::iota(order.begin(), order.end(), 0u);
    digits::Random shuffler = digits::Random::stream(settings.seed, kOrderStream + 1 + static_cast<std::uint64_t>(epoch));
    shuffler.shuffle(std::span(order));
    for (auto& shard : shards) shard->loss = 0, shard->errors = 0;

    for (batch_begin = 0; batch_begin < n; batch_begin = batch_end) {
      batch_end = std::min(n, batch_begin + batch);
      if (helper.joinable()) {
        sync.arrive_and_wait();
        run_shard(0);
        sync.arrive_and_wait();
      } else {
        for (int s = 0; s < kShards; ++s) run_shard(s);
      }
      // The halves' sums added in a fixed order, then averaged.
      const float scale = 1.0f / static_cast<float>(batch_end - batch_begin);
      for (std::size_t p = 0; p < kParameters; ++p) {
        float g = shards[0]->gradients[p];
        for (int s = 1; s < kShards; ++s) g += shards[s]->gradients[p];
        gradient[p] = g * scale;
      }
      const float rate = settings.rate * static_cast<float>(std::pow(settings.final_rate / settings.rate, step / total_steps));
      step += 1;
      optimiser.step(gradient, rate);
    }

    EpochReport r;
    r.epoch = epoch + 1;
    for (auto& shard : shards) r.loss += shard->loss, r.error_rate += shard->errors;
    r.loss /= static_cast<double>(n);
    r.error_rate /= static_cast<double>(n);
    if (validation.size() > 0) r.validation_accuracy = accuracy(optimiser.average(), validation);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report(r);
  }

  if (helper.joinable()) {
    stopping = true;
    sync.arrive_and_wait();
  }
  return optimiser.average();
}

}  // namespace ombrel_net
