#pragma once
// SGBM3D: the IDecSgbm object a host receives from CreateIDecSgbmInstance.
#include "dec_sgbm.h"
#include "decoder/common/decoder_output.h"
#include "decoder/sgbm/sgbm_decoder.h"
#include "decoder/sgbm/sgbm_params.h"

#include <memory>

namespace zel {

// The library-wide decoding state shared by every SGBM3D object.
SgbmDecoder& librarySgbmDecoder();

class SGBM3D final : public IDecSgbm {
 public:
  SGBM3D() = default;
  ~SGBM3D() = default;

  void release() override;
  bool setParamFromFile(const char* path) override;
  void reserved2() override {}
  bool reserved3() override { return true; }
  bool loadCalibration(const char* directory) override;
  void setImages(const ImagePair& images) override { raw_ = images; }
  void setRectifiedImages(const ImagePair& images) override { rectified_ = images; }
  std::int32_t exec(float** points, std::uint8_t** colors, bool rectify, std::int32_t** pixelIndices) override;
  void setLog(unsigned flags, const char* path) override;
  std::uint8_t* getRectifiedImage(std::int32_t index) override;
  std::int32_t getPointCount() override { return output_.count; }
  float* getPoints() override { return output_.points.get(); }
  std::uint8_t* getColors() override { return output_.colors.get(); }
  std::int32_t getImageWidth() override { return params_ ? params_->imageWidth : 0; }
  std::int32_t getImageHeight() override { return params_ ? params_->imageHeight : 0; }
  std::int32_t* getPixelIndices() override { return output_.pixelIndices.get(); }

 private:
  void recreateImageBuffers();

  std::unique_ptr<SgbmParams> params_;
  ImagePair raw_;
  ImagePair rectified_;
  std::unique_ptr<std::uint8_t[]> imageBuffers_[2];  // rectified left and right, width x height
  DecoderOutput output_;
};

}  // namespace zel
