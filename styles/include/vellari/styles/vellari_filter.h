#pragma once
// The stylising filter: a picture turned into an illustration from a shading layer, an
// ink-blob layer multiplied over it and a line layer on top.

#include <optional>
#include <string>

#include "vellari/engine/filter_abstract.h"

namespace vellari {

class QXVideoFilterVellari : public QXVideoFilterAbstract {
public:
    QXVideoFilterVellari();
    std::string className() const override { return "QXVideoFilterVellari"; }

    // Sets the output resolution, then the input resolution = output / outputFactor.
    void setOutputResolution(double resolution);

    void loadLUTNamed(const std::string& name) override;
    void loadLUT(const Picture& lut) override;
    const std::string& defaultLUTName() const { return defaultLUTName_; }
    bool hasDefaultLUT() const { return !defaultLUT_.isNull(); }

    Image processCIImage(const Image& image) override;
    Image addWatermark(const Image& image) override;

    // Shading layer.
    Image createShading(const Image& source, const Image& destination, int shadingType);
    Image createShadingColor(const Image& image);
    Image createShadingContrast(const Image& image);
    Image createShadingStructure(const Image& image);
    Image createShadingShadows(const Image& image);
    void createShadingSetColorSet(int64_t set);
    // Line layer.
    using QXVideoFilterAbstract::createLines;
    Image createLines(const Image& image, int lineType);
    Image createLinesStructure(const Image& grey);
    Image createLinesDoG(const Image& image);
    Image createLinesPostProcessDoG(const Image& difference);
    // Texture or halftone over the shading.
    Image createTexture(const Image& image, int textureType);
    // Ink blobs.
    Image createBlobs(const Image& image, double lowerRadius, double upperRadius, double threshold, int blobType);

    double customShadowsThresholdForThreshold(double threshold) const;
    double customShadingLevelsGammaForGamma(double gamma) const;
    // A smooth displacement along the perpendicular of the large-scale tone gradient.
    Image inputWarp(const Image& image);

    static double remapValue(double value, double min, double max, double x, double xMin, double xMax);

    // --- layer recipes
    int32_t lineType = 1;
    Color linesColorDark = Color::black();
    Color linesColorLight = Color::white();
    double linesPreSmoothRadius = 5.0;
    double linesPreSmoothSigma = 0.1;
    int32_t shadingType = 3;
    double shadingFactor = 2.0;
    bool shadingUsesSmoothScale = true;
    double shadingGamma = 1.0;
    double shadingRadius = 0.0;
    double shadingLevels = -1.0;
    double shadingLevelsAlpha = 1.0;
    double shadingLevelsGamma = 1.0;
    double shadingLevelsSmoothRadius = 0.0;
    double shadingThreshold = -1.0;
    double shadingSmoothRadius = 31.0;
    double shadingSmoothSigma = 36.0;
    int64_t shadingSmoothIterations = 1;
    Color shadingSpotColor0{1, 0, 0, 1};
    Color shadingSpotColor1{0, 1, 0, 1};
    Color shadingSpotColor2{0, 0, 1, 1};
    int32_t textureType = 0;
    std::string textureImageName;
    std::string textureBlendMode;
    double textureBlendAlpha = 1.0;
    double textureScale = 1.0;
    int32_t blobsType = 1;
    double blobsRadiusLower = 8.0;
    double blobsRadiusUpper = 300.0;
    double blobsThreshold = 0.5;
    double blobsStrength = 1.0;
    double blobsGain = 0.0;
    double blobsStriationsLower = 0.0;
    double blobsStriationsUpper = 0.0;
    std::optional<Color> blobsColorLower;
    std::optional<Color> blobsColorUpper;
    double blobsColorLevels = -1.0;
    double blobsColorGamma = 0.0;

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterVellari>();
    }

private:
    std::string defaultLUTName_;
    Picture defaultLUT_;

    Image upscaledLinesDoG(const Image& work);
};

// Registers the styles' kernels of the application's shader library. Idempotent.
void registerStyleKernels();

}  // namespace vellari
