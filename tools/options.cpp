#include "options.h"

#include <cctype>
#include <charconv>

namespace lumbrix {

namespace {

int64_t parse_count(const std::string& option, const std::string& text, int64_t min, int64_t max) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || rest != end || value < min || value > max) {
    throw Usage_Error(option + " takes a whole number from " + std::to_string(min) + " to " +
                      std::to_string(max) + ", not '" + text + "'");
  }
  return value;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    return "";
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// NAME=VALUE with the blanks around either part dropped.
std::pair<std::string, std::string> split_assignment(const std::string& option,
                                                     const std::string& text,
                                                     const std::string& value_name) {
  const size_t equals = text.find('=');
  const std::string name = equals == std::string::npos ? "" : trimmed(text.substr(0, equals));
  if (name.empty()) {
    throw Usage_Error(option + " takes NAME=" + value_name + ", not '" + text + "'");
  }
  std::string value = trimmed(text.substr(equals + 1));
  if (value.empty()) {
    throw Usage_Error(option + " '" + text + "' names no " + lower_case(value_name));
  }
  return {name, value};
}

}  // namespace

std::string lower_case(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool host_carries(Host_Kind host, int bits, Channel_Order order) {
  if (host == Host_Kind::after_effects) {
    return order == Channel_Order::argb || bits == 32;
  }
  return order == Channel_Order::bgra || bits == 8;
}

Options parse_options(const std::vector<std::string>& arguments) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    // --option=VALUE is --option VALUE.
    std::string argument = arguments[i];
    std::string attached;
    bool has_attached = false;
    if (argument.rfind("--", 0) == 0 && argument.find('=') != std::string::npos) {
      has_attached = true;
      attached = argument.substr(argument.find('=') + 1);
      argument.resize(argument.find('='));
    }
    auto value = [&]() -> const std::string& {
      if (has_attached) {
        has_attached = false;
        return attached;
      }
      if (i + 1 >= arguments.size()) {
        throw Usage_Error(argument + " needs a value");
      }
      return arguments[++i];
    };

    if (argument == "-o" || argument == "--output") {
      options.output = value();
    } else if (argument == "--host") {
      const std::string& host = value();
      if (host == "ae" || host == "aftereffects") {
        options.host = Host_Kind::after_effects;
      } else if (host == "pr" || host == "premiere") {
        options.host = Host_Kind::premiere_pro;
      } else {
        throw Usage_Error("--host takes ae or premiere, not '" + host + "'");
      }
    } else if (argument == "--bits") {
      const std::string& bits = value();
      if (bits == "8" || bits == "16" || bits == "32") {
        options.bits = std::stoi(bits);
      } else {
        throw Usage_Error("--bits takes 8, 16 or 32, not '" + bits + "'");
      }
    } else if (argument == "--order") {
      const std::string& order = value();
      if (order == "argb") {
        options.order = Channel_Order::argb;
      } else if (order == "bgra") {
        options.order = Channel_Order::bgra;
      } else {
        throw Usage_Error("--order takes argb or bgra, not '" + order + "'");
      }
      options.order_given = true;
    } else if (argument == "--threads") {
      options.threads = parse_count(argument, value(), 1, 1024);
    } else if (argument == "--classic") {
      options.classic_render = true;
    } else if (argument == "--list-params") {
      options.list_params = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--png-compression") {
      const std::string& compression = value();
      if (compression == "fast") {
        options.png_compression = Png_Compression::fast;
      } else if (compression == "smallest") {
        options.png_compression = Png_Compression::smallest;
      } else {
        throw Usage_Error("--png-compression takes fast or smallest, not '" + compression + "'");
      }
    } else if (argument == "--timing") {
      options.timing = true;
    } else if (argument == "--quiet") {
      options.progress = false;
    } else if (argument == "--demo-size") {
      const std::string& size = value();
      const size_t x = size.find('x');
      if (x == std::string::npos) {
        throw Usage_Error("--demo-size takes WIDTHxHEIGHT, not '" + size + "'");
      }
      options.demo_width = parse_count(argument, size.substr(0, x), 1, 16384);
      options.demo_height = parse_count(argument, size.substr(x + 1), 1, 16384);
    } else if (argument == "--set") {
      options.settings.push_back(split_assignment(argument, value(), "VALUE"));
    } else if (argument == "--layer") {
      options.layers.push_back(split_assignment(argument, value(), "FILE"));
    } else if (argument == "-h" || argument == "--help") {
      throw Usage_Error("");
    } else if (!argument.empty() && argument[0] == '-') {
      throw Usage_Error("unknown option " + argument);
    } else if (options.input.empty()) {
      options.input = argument;
    } else {
      throw Usage_Error("one input file at most: '" + options.input + "' and '" + argument + "'");
    }
    if (has_attached) {
      throw Usage_Error(argument + " takes no value");
    }
  }

  if (!options.order_given) {
    options.order =
        options.host == Host_Kind::after_effects ? Channel_Order::argb : Channel_Order::bgra;
  }
  if (!host_carries(options.host, options.bits, options.order)) {
    throw Usage_Error(
        std::string(options.host == Host_Kind::after_effects ? "After Effects" : "Premiere Pro") +
        " carries no " + std::to_string(options.bits) + "-bit " +
        (options.order == Channel_Order::argb ? "ARGB" : "BGRA") + " frames");
  }
  if (!options.list_params && !options.version && options.output.empty()) {
    throw Usage_Error("no output file: give -o OUTPUT");
  }
  return options;
}

std::string usage_text() {
  return "usage: lumbrix-render [INPUT] -o OUTPUT [options]\n"
         "Renders INPUT (PNG or OpenEXR) through the Lumbrix plug-in, or the built-in demo\n"
         "scene when no INPUT is given, and writes OUTPUT (.png or .exr).\n"
         "\n"
         "  -o, --output FILE      the image to write (also --output=FILE)\n"
         "  --set NAME=VALUE       set a parameter: NAME as --list-params prints it (any case;\n"
         "                         GROUP/NAME where names repeat), slot:N or id:N; popups take\n"
         "                         their item text, checkboxes on/off, points X,Y in pixels or\n"
         "                         percent of the frame (50%,50%), colours R,G,B\n"
         "  --layer NAME=FILE      give a layer parameter an image file\n"
         "  --host ae|premiere     the host to play (default ae)\n"
         "  --bits 8|16|32         channel depth of the frame (default 32, float)\n"
         "  --order argb|bgra      channel order (default: the host's own)\n"
         "  --threads N            threads for rendering and image files (default: all cores)\n"
         "  --classic              use the classic render command instead of smart render\n"
         "  --png-compression fast|smallest\n"
         "                         fast (default) or the smallest file, several times slower\n"
         "  --demo-size WxH        size of the demo scene (default 960x540)\n"
         "  --timing               print the timing report of the render\n"
         "  --quiet                no progress or times on stderr\n"
         "  --list-params          list the parameters the plug-in declares\n"
         "  --version              print the version\n"
         "\n"
         "Exit codes: 0 done; 2 a bad command line, input or output file; 1 the plug-in\n"
         "failed or the render needs more memory than there is.\n";
}

}  // namespace lumbrix
