#pragma once

// The fixed positions that failure reports name.
//
// A failed check or a refused host call writes a report to the log ("... Thrown in file
// base/after_effects/after_effects_host line 698. ...", "... in util/memory line 34. ...") that
// ends up in users' logs and crash reports. Those who read them (support, the crash-report
// tables, the tests that pin the texts) know a failure by that file and line, so each of these
// checks keeps the position it has always been reported at, wherever its code moves to. A
// position here is therefore a name for one check, not where the check stands in the source:
// never change one, and never reuse one for another check. Checks that are not listed here
// report their real position (BREL_SOURCE and __LINE__).

#include <cstdint>

namespace brel {

struct Report_Position {
  const char* file;
  int32_t line;
};

namespace report {

// ---- util ------------------------------------------------------------------------------------
inline constexpr const char* thread_iteration_file = "./util/thread_iteration";
inline constexpr Report_Position thread_iteration_index{thread_iteration_file, 34};

inline constexpr const char* thread_pool_file = "util/thread_pool";
inline constexpr Report_Position thread_pool_cpus{thread_pool_file, 94};

inline constexpr const char* memory_file = "util/memory";
inline constexpr Report_Position memory_copy_from_cpu_size{memory_file, 34};
inline constexpr Report_Position memory_copy_to_cpu_size{memory_file, 41};
inline constexpr Report_Position mapped_memory_to_device_size{memory_file, 139};
inline constexpr Report_Position mapped_memory_to_cpu_size{memory_file, 144};

inline constexpr const char* memory_2d_file = "util/memory_2d";
inline constexpr Report_Position memory_2d_copy_from_cpu{memory_2d_file, 39};
inline constexpr Report_Position memory_2d_copy_to_cpu{memory_2d_file, 40};
inline constexpr Report_Position memory_2d_unmanaged_size{memory_2d_file, 52};
inline constexpr Report_Position mapped_memory_2d_to_device_width{memory_2d_file, 185};
inline constexpr Report_Position mapped_memory_2d_to_device_height{memory_2d_file, 186};
inline constexpr Report_Position mapped_memory_2d_to_cpu_width{memory_2d_file, 191};
inline constexpr Report_Position mapped_memory_2d_to_cpu_height{memory_2d_file, 192};

// ---- base and kernels ------------------------------------------------------------------------
inline constexpr Report_Position list_files_recursive{"base/system_dependencies", 191};
inline constexpr Report_Position prepare_environment_sizes{
    "kernel/kernel_prepare_environment_layer_cpu", 64};

// ---- host adapter ----------------------------------------------------------------------------
inline constexpr const char* host_file = "base/after_effects/after_effects_host";
inline constexpr Report_Position host_register_with_aegp{host_file, 985};
inline constexpr Report_Position host_pre_render_source{host_file, 646};
inline constexpr Report_Position host_pre_render_texture{host_file, 654};
inline constexpr Report_Position host_pre_render_source_again{host_file, 666};
inline constexpr Report_Position host_pre_render_texture_again{host_file, 675};
inline constexpr Report_Position host_input_pixels{host_file, 698};
inline constexpr Report_Position host_output_pixels{host_file, 740};
inline constexpr Report_Position host_texture_pixels{host_file, 780};
// The custom controls' event dispatch reports under the host's name.
inline constexpr Report_Position custom_ui_unknown_parameter{host_file, 137};

inline constexpr const char* custom_ui_file = "base/after_effects/after_effects_custom_ui";

inline constexpr const char* parameter_file = "base/after_effects/after_effects_parameter";
inline constexpr Report_Position parameter_checkout{parameter_file, 77};
inline constexpr Report_Position parameter_update_ui{parameter_file, 94};
inline constexpr Report_Position parameter_set_enabled{parameter_file, 18};
inline constexpr Report_Position parameter_rgb_color{parameter_file, 124};
inline constexpr Report_Position parameter_rgba_color{parameter_file, 166};
inline constexpr Report_Position parameter_custom_data{parameter_file, 402};
inline constexpr Report_Position parameter_custom_second_data{parameter_file, 422};
inline constexpr Report_Position int_parameter_set_value{parameter_file, 196};
inline constexpr Report_Position int_parameter_set_valid_range{parameter_file, 203};
inline constexpr Report_Position int_parameter_set_slider_range{parameter_file, 210};
inline constexpr Report_Position angle_parameter_set_value{parameter_file, 269};
inline constexpr Report_Position angle_parameter_set_valid_range{parameter_file, 276};
inline constexpr Report_Position angle_parameter_set_slider_range{parameter_file, 283};
inline constexpr Report_Position angle_parameter_set_precision{parameter_file, 289};
inline constexpr Report_Position point_parameter_set_value{parameter_file, 342};

// A refused registration reports the position of the kind being registered.
inline constexpr const char* parameter_setup_file =
    "base/after_effects/after_effects_parameter_setup";
inline constexpr Report_Position register_group{parameter_setup_file, 210};
inline constexpr Report_Position register_group_end{parameter_setup_file, 215};
inline constexpr Report_Position register_rgb{parameter_setup_file, 220};
inline constexpr Report_Position register_rgba{parameter_setup_file, 225};
inline constexpr Report_Position register_int{parameter_setup_file, 230};
inline constexpr Report_Position register_float{parameter_setup_file, 235};
inline constexpr Report_Position register_angle{parameter_setup_file, 240};
inline constexpr Report_Position register_checkbox{parameter_setup_file, 245};
inline constexpr Report_Position register_button{parameter_setup_file, 250};
inline constexpr Report_Position register_choice{parameter_setup_file, 255};
inline constexpr Report_Position register_point_2d{parameter_setup_file, 260};
inline constexpr Report_Position register_layer{parameter_setup_file, 265};
inline constexpr Report_Position register_custom{parameter_setup_file, 270};
inline constexpr Report_Position register_rgba_alpha_id{parameter_setup_file, 61};
inline constexpr Report_Position register_custom_ui{parameter_setup_file, 182};

inline constexpr const char* translation_file =
    "./base/after_effects/after_effects_dynamic_pixel_type_translation";
inline constexpr Report_Position translation_not_cpu{translation_file, 165};
inline constexpr Report_Position translation_unknown_pixel{translation_file, 140};

inline constexpr const char* memory_ae_file = "base/after_effects/after_effects_memory";
inline constexpr Report_Position memory_ae_size{memory_ae_file, 15};
inline constexpr Report_Position memory_2d_ae_size{memory_ae_file, 41};

inline constexpr const char* channel_file = "base/after_effects/after_effects_channel";
inline constexpr Report_Position channel_category{channel_file, 16};
inline constexpr Report_Position channel_type{channel_file, 32};
inline constexpr Report_Position channel_reference{channel_file, 418};
inline constexpr Report_Position channel_checkout{channel_file, 430};

// ---- host adapter helpers --------------------------------------------------------------------
inline constexpr const char* helper_file = "base/after_effects/helper/ae_helper";
inline constexpr Report_Position premiere_version_host{helper_file, 163};
inline constexpr Report_Position premiere_version_query{helper_file, 168};
inline constexpr Report_Position premiere_pixel_format{helper_file, 264};
inline constexpr Report_Position premiere_unknown_pixel_format{helper_file, 268};
inline constexpr Report_Position pixel_format{helper_file, 275};
inline constexpr Report_Position unknown_pixel_format{helper_file, 296};
inline constexpr Report_Position host_allocate_size{helper_file, 350};
inline constexpr Report_Position layer_api_too_old{helper_file, 506};
inline constexpr Report_Position layer_checkout{helper_file, 481};
inline constexpr Report_Position host_thread_count{helper_file, 730};
inline constexpr Report_Position parallel_for_host{helper_file, 705};
inline constexpr Report_Position project_by_index{helper_file, 528};
inline constexpr Report_Position project_first_item{helper_file, 529};
inline constexpr Report_Position project_first_item_type{helper_file, 530};
inline constexpr Report_Position project_next_item_type{helper_file, 535};
inline constexpr Report_Position project_next_item{helper_file, 534};
inline constexpr Report_Position project_comp_of_item{helper_file, 539};
inline constexpr Report_Position project_working_space{helper_file, 547};
inline constexpr Report_Position project_icc_profile{helper_file, 552};
inline constexpr Report_Position project_gamma{helper_file, 556};
inline constexpr Report_Position project_free_icc_profile{helper_file, 559};

inline constexpr const char* suite_file = "base/after_effects/helper/ae_suite";
inline constexpr Report_Position acquire_suite{suite_file, 24};

inline constexpr const char* arb_file = "base/after_effects/helper/ae_arb";
inline constexpr Report_Position arb_new_functions{arb_file, 12};
inline constexpr Report_Position arb_callback_functions{arb_file, 44};

inline constexpr const char* gui_file = "base/after_effects/helper/ae_gui";
inline constexpr Report_Position gui_frame_release{gui_file, 139};
inline constexpr Report_Position gui_frame_effect{gui_file, 144};
inline constexpr Report_Position gui_frame_render_options{gui_file, 146};
inline constexpr Report_Position gui_frame_async_manager{gui_file, 147};
inline constexpr Report_Position gui_frame_checkout{gui_file, 148};
inline constexpr Report_Position gui_frame_receipt_world{gui_file, 186};
inline constexpr Report_Position gui_frame_effect_world{gui_file, 191};
inline constexpr Report_Position gui_frame_checkin_on_failure{gui_file, 218};
inline constexpr Report_Position gui_frame_checkin{gui_file, 208};

}  // namespace report

}  // namespace brel
