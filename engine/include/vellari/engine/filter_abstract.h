#pragma once
// The base object of every style filter: the parameters all styles share, the size
// questions the pipeline asks before rendering, and the per-frame entry point.

#include <any>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "vellari/platform/bundle.h"
#include "vellari/platform/context.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/geometry.h"
#include "vellari/platform/image.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/plist.h"
#include "vellari/platform/values.h"

namespace vellari {

class QXVideoFilterFaceMasking;
class QXVideoFilterOpticalFlow;
using AccumulatorPtr = std::shared_ptr<ImageAccumulator>;
// A style preset's adjustment values, as read from its property list.
using StyleData = PlistDictionary;

class QXVideoFilterAbstract {
public:
    QXVideoFilterAbstract();
    virtual ~QXVideoFilterAbstract();
    QXVideoFilterAbstract(const QXVideoFilterAbstract&) = delete;
    QXVideoFilterAbstract& operator=(const QXVideoFilterAbstract&) = delete;

    // The class's own name, as the platform would print it.
    virtual std::string className() const { return "QXVideoFilterAbstract"; }
    // A new object of the same class with default values (parameters are not copied).
    std::shared_ptr<QXVideoFilterAbstract> copy() const { return makeDefault(); }

    virtual Image processCIImage(const Image& image);
    virtual Image addWatermark(const Image& image);
    Size outputSizeForInputSize(const Size& size) const;

    std::string name() const { return name_ ? *name_ : className(); }
    void setName(const std::string& n) { name_ = n; }
    std::string appendToName(const std::string& text);
    std::string prependToName(const std::string& text);

    double resolutionScale() const;
    double radiusUpper() const { return radiusUpper_ * resolutionScale(); }
    void setRadiusUpper(double v) { radiusUpper_ = v; }
    double radiusLower() const { return radiusLower_ * resolutionScale(); }
    void setRadiusLower(double v) { radiusLower_ = v; }
    double linesDetailReduction() const { return linesDetailReduction_ * resolutionScale(); }
    void setLinesDetailReduction(double v) { linesDetailReduction_ = v; }

    // Look-up-table hooks; the stylising filter overrides the loaders.
    void setColorLookupTable(const Picture* lut);
    Image applyLUT(const Image& image) const;
    virtual void loadLUT(const Picture& lut) {}
    virtual void loadLUTNamed(const std::string& name) {}

    double customValueForKey(const std::string& key, double defaultValue) const;
    const Bundle& bundle() const { return Bundle::main(); }

    void reset();
    virtual void emptyCaches() {}
    virtual void didSwitchCamera() {}
    virtual void loadCustomData() {}
    virtual void fromDictionary(const StyleData&) {}

    // Nothing for an absent picture or one without pixels.
    static FilterPtr createColorCubeFilterFromLUT(const Picture* lut);

    // --- edge tangent flow and line extraction
    // The smoothed edge-tangent-flow field of an image. Encoding of every flow field
    // (kernels "ETFconvertValueToNormalizedPerpNormalMap", "ETF08", "flowBlur07",
    // "displaceWithNormalMapPerp"): red = 0.5 + 0.5·tx, green = 0.5 + 0.5·ty, where (tx, ty)
    // is the unit tangent (along the edge, perpendicular to the brightness gradient, y
    // pointing down); blue = normalised gradient magnitude in [0, 1]; alpha 1. A flat
    // region reads (0.5, 0.5, 0, 1), the zero vector.
    Image computeEdgeTangentFlow(const Image& image);
    // The image smoothed `iterations` times along the field, marked as a cached intermediate.
    Image reduceNoise(const Image& image, const Image& perpNormalMap, uint64_t iterations);
    // Difference-of-Gaussians lines over mid-grey, screen-blended with the grey tone.
    Image createLines(const Image& image);

    // --- normalisation and temporal buffers
    Image normalizeImage(const Image& image);
    Image enhanceImage(const Image& image);
    Image maskMotion(const Image& image);
    Image accumSource(const Image& image);
    Image differenceMaskSourceImage(const Image& source, const Image& base);
    // `buffer` if it has the image's size, else a new accumulator at (0, 0) of that size;
    // its image set to `image`.
    static AccumulatorPtr setBuffer(AccumulatorPtr buffer, const Image& image);

    // --- properties (plain fields where no accessor behaviour is defined)
    std::string author;
    std::string note;
    std::string filterDescription;
    std::string parametersURL;
    bool useHighQualityDownsampling = false;
    bool useLowQuality = false;
    bool adjustExposureForAreaOfInterest = false;
    Color backgroundColor = Color::clear();
    FilterPtr colorLookupTableFilter;
    FilterPtr colorLookupTableFilterAlt;
    FilterPtr colorLookupTableFilterForTeeth;
    FilterPtr colorLookupTableFilterForEyes;
    bool useAntiAliasing = false;
    bool useSmoothing = false;
    bool useFaceEnhancement = false;
    double radiusFactor = 0;
    double linesDiffWeight = 0;
    double linesDiffGain = 0;
    bool videoProcessing = false;
    double videoProcessingTime = 0;
    bool useWatermark = false;
    std::string watermarkImageName;
    AffineTransform watermarkTransform;
    double baseResolution = 0;
    double outputResolution = 0;
    double outputFactor = 0;
    double currentResolution = 0;
    double previewResolution = 0;
    double histogramEqualization = 0;
    double postHistogramEqualizationGamma = 0;
    double eyesUnsharpMaskRadius = 0;
    double eyesUnsharpMaskIntensity = 0;
    double paramAlpha = 0, paramBeta = 0, paramGamma = 0, paramDelta = 0;
    std::any paramEpsilon, paramZeta;
    double inputResolution = 0;
    double linesGrayContrastScale = 0;
    double linesGrayBrightnessShift = 0;
    double linesGrayThreshold = 0;
    double linesFactor = 0;
    AccumulatorPtr previousImageBuffer;
    AccumulatorPtr alternateBuffer0;
    AccumulatorPtr alternateBuffer1;
    AccumulatorPtr accumulationBuffer;
    bool altState = false;
    std::shared_ptr<QXVideoFilterFaceMasking> facemasking;  // built with face masking
    std::shared_ptr<QXVideoFilterOpticalFlow> opticalFlow;
    int64_t reduceNoiseIterations = 0;
    int64_t ETFIterations = 0;
    int64_t ETFRadius = 0;
    double reduceNoiseStride = 0;
    Image perpNormalMap;
    AccumulatorPtr enhanceImageTemporalBuffer;
    double enhanceImageWeight = 0;
    std::optional<std::map<std::string, double>> customData;
    std::optional<StyleData> styleData;

protected:
    // Subclasses return a fresh instance of themselves.
    virtual std::shared_ptr<QXVideoFilterAbstract> makeDefault() const;

    Image faceMask_;

private:
    std::optional<std::string> name_;
    double radiusUpper_ = 0;
    double radiusLower_ = 0;
    double linesDetailReduction_ = 0;
};

// Rounds half away from zero (as the platform's round()).
inline double roundHalfAway(double v) { return std::round(v); }

}  // namespace vellari
