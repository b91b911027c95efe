#include "base/after_effects/after_effects_layer.h"

#include <mutex>
#include <string>

#include "ae_suites.h"
#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/after_effects/helper/ae_result.h"
#include "base/after_effects/helper/ae_suite.h"
#include "base/exception.h"
#include "base/log.h"

namespace brel::ae {
namespace {

// A deleter runs where nothing may be thrown: a refused check-in becomes a warning.
void warn_quietly(const std::string& what, PF_Err result) noexcept {
  try {
    global_log().write(
        "-**### WARNING ###**-: " + what + " Error code: " + std::to_string(result) + "\n",
        Log::warning);
  } catch (...) {
  }
}

// Checks the layer parameter back in when the last holder releases the record.
struct Layer_Checkin {
  PF_InData* in_data;
  PF_ParamDef param;

  void operator()(Layer_Typeless* record) const noexcept {
    delete record;
    PF_ParamDef copy = param;
    const PF_Err result = in_data->inter.checkin_param(in_data->effect_ref, &copy);
    if (result != PF_Err_NONE) {
      warn_quietly("PF_CHECKIN_PARAM() failed while giving a layer back.", result);
    }
  }
};

std::mutex& channel_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Checks the channel back in when the last holder releases the record.
struct Channel_Checkin {
  PF_InData* in_data;
  PF_ChannelRef reference;
  PF_ChannelChunk chunk;

  void operator()(Layer_Typeless* record) const noexcept {
    delete record;
    try {
      std::lock_guard lock(channel_mutex());
      Suite_Guard<PF_ChannelSuite1> suite(in_data->pica_basicP, "PF AE Channel Suite", 1);
      if (chunk.dataPV != nullptr) {
        PF_ChannelRef ref = reference;
        PF_ChannelChunk copy = chunk;
        const PF_Err result = suite->PF_CheckinLayerChannel(in_data->effect_ref, &ref, &copy);
        if (result != PF_Err_NONE) {
          warn_quietly("PF_CheckinLayerChannel() failed while giving a channel back.", result);
        }
      }
    } catch (const std::exception& e) {
      warn_quietly(std::string("a channel could not be given back: ") + e.what(), 0);
    } catch (...) {
    }
  }
};

}  // namespace

std::shared_ptr<Layer_Typeless> checkout_layer(PF_InData* in_data, int index) {
  if (!api_version_at_least(in_data, 12, 5)) {
    BREL_ASSERT_FAIL_AT("this version of the After Effects api is to old and not supported",
                        report::layer_api_too_old);
  }
  PF_ParamDef param{};
  throw_on_host_error(
      in_data->inter.checkout_param(in_data->effect_ref, index, in_data->current_time,
                                    in_data->time_step, in_data->time_scale, &param),
      report::layer_checkout);
  // From here on the parameter is the effect's to give back, whatever happens next.
  std::shared_ptr<Layer_Typeless> layer(new Layer_Typeless(), Layer_Checkin{in_data, param});
  if (param.u.ld.data == nullptr) {
    return nullptr;  // the release above checks the empty layer back in
  }
  const auto factors = downsample_factors(in_data);
  *layer = make_layer_description(&param.u.ld, factors.x, factors.y,
                                  world_pixel_description(&param.u.ld, in_data));
  return layer;
}

std::shared_ptr<Layer_Typeless> checkout_channel(PF_InData* in_data, int index,
                                                 Channel::Category category, Channel::Type type) {
  PF_ChannelRef reference{};
  PF_ChannelChunk chunk{};
  {
    std::lock_guard lock(channel_mutex());
    BREL_ASSERT_MSG_AT(category == Channel::Category::Depth, "not implemented",
                       report::channel_category);
    const PF_ChannelType channel_type = PF_ChannelType_DEPTH;
    BREL_ASSERT_MSG_AT(type == Channel::Type::Double || type == Channel::Type::Float,
                       " not implemented", report::channel_type);
    const PF_DataType data_type =
        type == Channel::Type::Float ? PF_DataType_FLOAT : PF_DataType_DOUBLE;

    Suite_Guard<PF_ChannelSuite1> suite(in_data->pica_basicP, "PF AE Channel Suite", 1);
    PF_Boolean found = 0;
    PF_ChannelDesc description{};
    throw_on_host_error(
        suite->PF_GetLayerChannelTypedRefAndDesc(in_data->effect_ref, index, channel_type, &found,
                                                 &reference, &description),
        report::channel_reference);
    if (found == 0 || description.channel_type != channel_type ||
        description.data_type != data_type) {
      return nullptr;
    }
    throw_on_host_error(
        suite->PF_CheckoutLayerChannel(in_data->effect_ref, &reference, in_data->current_time,
                                       in_data->time_step, in_data->time_scale, data_type, &chunk),
        report::channel_checkout);
  }
  // Outside the lock: the check-in deleter takes it again, also when building the owner fails.
  std::shared_ptr<Layer_Typeless> record(new Layer_Typeless(),
                                         Channel_Checkin{in_data, reference, chunk});
  const auto factors = downsample_factors(in_data);
  record->width = chunk.widthL;
  record->height = chunk.heightL;
  record->scale_x = factors.x;
  record->scale_y = factors.y;
  record->pixels = chunk.dataPV;
  record->row_bytes = chunk.row_bytesL;
  record->pixel_description = Pixel_Description{
      Pixel_Description::single_channel, type == Channel::Type::Float ? 32 : 64, 2, -1, -1, -1};
  return record;
}

}  // namespace brel::ae
