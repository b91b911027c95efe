#include "base/after_effects/helper/ae_helper.h"

#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_suite.h"
#include "base/exception.h"

namespace brel {

namespace {

float ratio(const PF_RationalScale& scale) {
  return static_cast<float>(scale.num) / static_cast<float>(scale.den);
}

}  // namespace

bool host_is_premiere(const PF_InData* in_data) {
  return in_data->appl_id == PF_APPL_ID_PREMIERE;
}

bool host_is_after_effects(const PF_InData* in_data) {
  return in_data->appl_id == PF_APPL_ID_AFTER_EFFECTS;
}

bool api_version_at_least(const PF_InData* in_data, int32_t major, int32_t minor) {
  if (in_data->version.major != major) {
    return in_data->version.major > major;
  }
  return in_data->version.minor >= minor;
}

Premiere_Version premiere_version(const PF_InData* in_data) {
  BREL_ASSERT_AT(host_is_premiere(in_data), report::premiere_version_host);
  const Suite_Guard<PrSDKAppInfoSuite2> suite(in_data->pica_basicP, kPrSDKAppInfoSuite,
                                              kPrSDKAppInfoSuiteVersion2);
  PrAppVersion version{};
  const prSuiteError err = suite->GetAppInfo(PrAppInfo_Version, &version);
  if (err != suiteError_NoError) {
    throw Exception_Premiere("Premiere Api Error (prSuiteError)", err,
                             report::premiere_version_query);
  }
  return {version.major, version.minor, version.patch};
}

bool premiere_version_at_least(const PF_InData* in_data, uint32_t major, uint32_t minor,
                               uint32_t patch) {
  if (!host_is_premiere(in_data)) {
    return false;
  }
  const Premiere_Version v = premiere_version(in_data);
  if (v.major != major) {
    return v.major > major;
  }
  if (v.minor != minor) {
    return v.minor > minor;
  }
  return v.patch >= patch;
}

std::string host_version_line(const PF_InData* in_data) {
  std::string line;
  if (host_is_premiere(in_data)) {
    const Premiere_Version v = premiere_version(in_data);
    line = "Premiere v" + std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
           std::to_string(v.patch);
  } else if (host_is_after_effects(in_data)) {
    line = "After Effects v" + std::to_string(in_data->version.major) + "." +
           std::to_string(in_data->version.minor);
  }
  const auto id = static_cast<uint32_t>(in_data->appl_id);
  line += "(app id: ";
  for (int shift = 24; shift >= 0; shift -= 8) {
    line += static_cast<char>((id >> shift) & 0xFFu);
  }
  line += ")";
  return line;
}

Pixel_Description world_pixel_description(const PF_EffectWorld* world, const PF_InData* in_data) {
  if (host_is_premiere(in_data)) {
    const Suite_Guard<PF_PixelFormatSuite1> suite(in_data->pica_basicP, kPFPixelFormatSuite,
                                                  kPFPixelFormatSuiteVersion1);
    PrPixelFormat format = PrPixelFormat_BGRA_4444_8u;
    // The answer is all there is to go on: a frame whose format is unknown is not rendered.
    const PF_Err err = suite->GetPixelFormat(world, &format);
    if (err != PF_Err_NONE) {
      throw Exception_Premiere("Premiere Api Error (PF_Err)", err, report::premiere_pixel_format);
    }
    switch (format) {
      case PrPixelFormat_BGRA_4444_32f:
        return pixel_description_bgra(32);
      case PrPixelFormat_BGRA_4444_16u:
        return pixel_description_bgra(16);
      case PrPixelFormat_BGRA_4444_8u:
        return pixel_description_bgra(8);
      case PrPixelFormat_ARGB_4444_8u:
        return pixel_description_argb(8);
      default:
        BREL_ASSERT_INCOMPLETE_AT(report::premiere_unknown_pixel_format);
    }
  }

  const Suite_Guard<PF_WorldSuite2> suite(in_data->pica_basicP, kPFWorldSuite,
                                          kPFWorldSuiteVersion2);
  PF_PixelFormat format = 0;
  const PF_Err err = suite->PF_GetPixelFormat(world, &format);
  if (err == PF_Interrupt_CANCEL) {
    throw Exception_Abort();
  }
  if (err != PF_Err_NONE) {
    throw Exception_After_Effects("After Effects api Error (PF_Err)", err, report::pixel_format);
  }
  switch (format) {
    case PF_PixelFormat_ARGB128:
      return pixel_description_argb(32);
    case PF_PixelFormat_ARGB64:
      return pixel_description_argb(16);
    case PF_PixelFormat_ARGB32:
      return pixel_description_argb(8);
    case PF_PixelFormat_BGRA128:
      return pixel_description_bgra(32);
    default:
      BREL_ASSERT_INCOMPLETE_AT(report::unknown_pixel_format);
  }
}

Downsample_Factors downsample_factors(const PF_InData* in_data) {
  return {ratio(in_data->downsample_x), ratio(in_data->downsample_y)};
}

float pixel_aspect_ratio(const PF_InData* in_data) {
  return ratio(in_data->pixel_aspect_ratio);
}

Rect rect_from_pf_rect(const PF_LRect& rect) {
  return {rect.left, rect.right, rect.top, rect.bottom};
}

PF_LRect pf_rect_from_rect(const Rect& rect) {
  return {static_cast<A_long>(rect.left), static_cast<A_long>(rect.top),
          static_cast<A_long>(rect.right), static_cast<A_long>(rect.bottom)};
}

Render_Region make_render_region(const PF_InData* in_data, const PF_CheckoutResult& result) {
  const Downsample_Factors factors = downsample_factors(in_data);
  return {rect_from_pf_rect(result.max_result_rect), factors.x, factors.y, ratio(result.par)};
}

Layer_Typeless make_layer_description(const PF_EffectWorld* world, float downsample_x,
                                      float downsample_y, const Pixel_Description& pixels) {
  Layer_Typeless layer;
  layer.width = world->width;
  layer.height = world->height;
  layer.origin_x = world->origin_x;
  layer.origin_y = world->origin_y;
  layer.scale_x = downsample_x;
  layer.scale_y = downsample_y;
  layer.pixel_aspect = world->pix_aspect_ratio.den == 0 ? 1.0f : ratio(world->pix_aspect_ratio);
  layer.flag = 0;
  layer.pixels = world->data;
  layer.row_bytes = world->rowbytes;
  layer.pixel_description = pixels;
  return layer;
}

namespace ae {

Host_Context host_context(const PF_InData* in_data) {
  Host_Context context;
  context.plugin_api = [] { return Plugin_Api::After_Effects; };
  context.plugin_host = [in_data] {
    if (in_data == nullptr || host_is_premiere(in_data)) {
      return Plugin_Host::Premiere_Pro;
    }
    return host_is_after_effects(in_data) ? Plugin_Host::After_Effects : Plugin_Host::Other;
  };
  context.input_layer_name = [] { return std::string("Source"); };
  context.output_layer_name = [] { return std::string("Output"); };
  return context;
}

}  // namespace ae

}  // namespace brel
