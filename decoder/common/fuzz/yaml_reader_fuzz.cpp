// Feeds whole texts to the guarded YAML reader and, when a text is accepted,
// reads every top-level entry as a matrix and as numbers, as the calibration
// loader and the board settings do. Any crash, overrun or unbounded
// recursion is a fault of ours.
#include "decoder/common/yaml_reader.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zel::YamlNode root;
  std::string error;
  if (!zel::parseYamlText(text, root, error)) return 0;
  for (std::size_t k = 0; k < root.keys.size(); ++k) {
    const zel::YamlNode& node = root.items[k];
    const std::string& key = root.keys[k];
    cv::Mat m;
    zel::yamlMatrix(node, 64, m, error);
    double d;
    int i;
    node.asDouble(d);
    node.asInt(i);
    for (const zel::YamlNode& item : node.items) item.asDouble(d);
    (void)root.find(key);
  }
  return 0;
}
