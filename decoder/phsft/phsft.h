#pragma once
// Phsft: the IDecPhsft object a host receives from CreateIDecPhsftInstance.
#include "dec_phsft.h"
#include "decoder/phsft/phsft_decoder.h"
#include "decoder/phsft/phsft_params.h"

#include <memory>

namespace zel {

// The library-wide decoding state shared by every Phsft object.
PhsftDecoder& libraryDecoder();

class Phsft final : public IDecPhsft {
 public:
  Phsft() = default;
  ~Phsft() = default;

  void release() override;
  bool setParamFromFile(const char* path) override;
  void reserved2() override {}
  bool reserved3() override { return true; }
  bool loadCalibration(const char* directory) override;
  void setImages(const ImagePair& images) override;
  int reserved6() override { return 0; }
  void reserved7() override {}
  std::int32_t exec(float** points, std::uint8_t** colors, bool flag, std::int32_t** pixelIndices) override;
  void setLog(unsigned flags, const char* path) override;
  int reserved10() override { return 0; }
  std::int32_t getPointCount() override { return output_.count; }
  float* getPoints() override { return output_.points.get(); }
  std::uint8_t* getColors() override { return output_.colors.get(); }
  std::int32_t getImageWidth() override { return params_ ? params_->imageWidth : 0; }
  std::int32_t getImageHeight() override { return params_ ? params_->imageHeight : 0; }
  std::int32_t getImageCount() override { return params_ ? params_->nimage : 0; }
  void setUserPointer(void* pointer) override { userPointer_ = pointer; }
  std::int32_t* getPixelIndices() override { return output_.pixelIndices.get(); }

 private:
  std::unique_ptr<PhsftParams> params_;
  ImagePair images_;
  PhsftOutput output_;
  void* userPointer_ = nullptr;
};

}  // namespace zel
