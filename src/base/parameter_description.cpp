#include "base/parameter_description.h"

#include <algorithm>
#include <utility>

namespace brel {

namespace {

std::string identifier_of(const std::string& name, std::string identifier) {
  if (identifier.empty()) {
    identifier = name;
  }
  std::replace(identifier.begin(), identifier.end(), ' ', '_');
  return identifier;
}

}  // namespace

Parameter_Description::Parameter_Description(std::string name, std::string identifier,
                                             int64_t disc_id)
    : name(std::move(name)), disc_id(disc_id) {
  this->identifier = identifier_of(this->name, std::move(identifier));
}

Button_Parameter_Description::Button_Parameter_Description(std::string name, std::string identifier,
                                                           int64_t disc_id, std::string label)
    : Parameter_Description(std::move(name), std::move(identifier), disc_id),
      label(std::move(label)) {}

Custom_Parameter_Description::Custom_Parameter_Description(
    std::string name, std::string identifier, int64_t disc_id, int64_t minimum_height,
    int64_t height, int64_t refcon, int64_t second_refcon, int64_t second_disc_id,
    std::shared_ptr<Data_Functions> data_functions,
    std::shared_ptr<Data_Functions> second_data_functions)
    : Parameter_Description(std::move(name), std::move(identifier), disc_id),
      minimum_height(minimum_height),
      height(height),
      refcon(refcon),
      second_refcon(second_refcon),
      second_disc_id(second_disc_id),
      data_functions(std::move(data_functions)),
      second_data_functions(std::move(second_data_functions)) {}

}  // namespace brel
