// Errors in what a user describes to the simulator: a platform file or a
// configuration-space capture. They name the input, the place and the fault.
#pragma once

#include <stdexcept>
#include <string>

namespace sim {

class InputError : public std::runtime_error {
public:
  InputError(std::string input, std::string place, const std::string &what)
      : std::runtime_error(what), input_(std::move(input)), place_(std::move(place)) {}
  const std::string &Input() const { return input_; }
  const std::string &Place() const { return place_; }
  std::string Message() const { return input_ + ": " + place_ + ": " + what(); }

private:
  std::string input_;
  std::string place_;
};

} // namespace sim
