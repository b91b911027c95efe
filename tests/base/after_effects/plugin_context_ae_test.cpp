#include "base/after_effects/plugin_context_ae.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/parameter.h"
#include "base/parameter_description.h"
#include "simulated_host.h"

namespace {

using brel::find_parameter_index;
using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;

// Host indices: 1 a float named "Source", 2 the layer "environmental layer", 3 a layer named
// "Source", 4 a layer with a host index below 1 would end the walk (none here).
struct Parameters {
  explicit Parameters(PF_InData* in_data) : factory(in_data, nullptr, nullptr) {
    amount = factory.create_float(brel::Float_Parameter_Description("Source", "", 1));
    environment =
        factory.create_layer(brel::Layer_Parameter_Description("environmental layer", "", 2));
    named_source = factory.create_layer(brel::Layer_Parameter_Description("Source", "", 3));
    list = factory.parameters();
  }
  brel::Parameter_Factory_After_Effects factory;
  std::unique_ptr<brel::Float_Parameter> amount;
  std::unique_ptr<brel::Layer_Parameter> environment;
  std::unique_ptr<brel::Layer_Parameter> named_source;
  std::list<brel::Parameter*> list;
};

TEST(Find_Parameter_Index, LooksUpLayerParametersByIdentifier) {
  Simulated_Host host(Host_Identity::after_effects());
  Parameters parameters(host.in_data());
  EXPECT_EQ(find_parameter_index(parameters.list, "Source"), 0);
  EXPECT_EQ(find_parameter_index(parameters.list, "environmental_layer"), 2);
  EXPECT_EQ(find_parameter_index(parameters.list, "environmental layer"), -1);
  EXPECT_EQ(find_parameter_index(parameters.list, "Environmental_layer"), -1);
  EXPECT_EQ(find_parameter_index(parameters.list, "amount"), -1);
  EXPECT_EQ(brel::texture_layer_parameters(parameters.list).size(), 2u);
}

TEST(Output_Description, ScalesTheLayerSizeByTheDownsampleFactors) {
  Simulated_Host host(Host_Identity::after_effects());
  host.set_layer_size(1920, 1080);
  host.set_downsample(1, 2, 1, 2);
  host.set_pixel_aspect(4, 3);
  host.in_data()->output_origin_x = 7;
  host.in_data()->output_origin_y = -2;
  const brel::Layer_Description description = brel::output_description(host.in_data());
  EXPECT_EQ(description.width, 960);
  EXPECT_EQ(description.height, 540);
  EXPECT_EQ(description.origin_x, 7);
  EXPECT_EQ(description.origin_y, -2);
  EXPECT_EQ(description.scale_y, 0.5f);
  EXPECT_FLOAT_EQ(description.pixel_aspect, 4.0f / 3.0f);
}

// The context's services answer from the host: the gamma from the project's working colour space,
// the output description from in_data.
TEST(Plugin_Context_Ae, ServicesAnswerFromTheHost) {
  Simulated_Host host(Host_Identity::after_effects());
  host.set_project({AEGP_ItemType_FOLDER, AEGP_ItemType_COMP}, 1.8f);
  host.set_layer_size(300, 200);
  const brel::Plugin_Context context =
      brel::plugin_context(host.in_data(), host.out_data(), nullptr);
  EXPECT_EQ(context.gamma(), static_cast<double>(1.8f));
  EXPECT_EQ(host.profile_item(), 1);
  EXPECT_EQ(context.output_description().width, 300);
  EXPECT_EQ(host.imbalance(), "");
}

}  // namespace
