#pragma once
// The named styles: subclasses of the stylising filter that fix how the layers are stacked,
// and the class-level tables that configure one instance per style.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vellari/platform/bundle.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {

// Styles are handed out as the filter wrapper holds them: any filter object.
using StylePtr = std::shared_ptr<QXVideoFilterAbstract>;
using StyleList = std::vector<StylePtr>;

// The property list "Settings/<name>.plist" of `bundle` as a dictionary; nullopt when it
// is missing, unreadable or not a dictionary.
std::optional<StyleData> loadStyleData(const Bundle& bundle, const std::string& name);
// `base` with the keys of `overrides` replaced. No overrides gives `base` as it is (absent
// included); an absent base with overrides gives the overrides alone.
std::optional<StyleData> styleDataWithOverrides(const std::optional<StyleData>& base, const StyleData& overrides);

// Comic and mono: lines over the ink blobs (or white), then the colour multiplied over them.
class QXVideoFilterVellariBW : public QXVideoFilterVellari {
public:
    QXVideoFilterVellariBW();
    std::string className() const override { return "QXVideoFilterVellariBW"; }
    Image processCIImage(const Image& image) override;

    static StyleList comicsStyles(const Bundle& bundle = Bundle::main());
    static StyleList monoStyles(const Bundle& bundle = Bundle::main());

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterVellariBW>();
    }
};

// Cel and vivid: lines over white, then the posterised colour multiplied over them.
class QXVideoFilterVellariCel : public QXVideoFilterVellari {
public:
    QXVideoFilterVellariCel();
    std::string className() const override { return "QXVideoFilterVellariCel"; }
    Image processCIImage(const Image& image) override;

    static StyleList celStyles(const Bundle& bundle = Bundle::main());

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterVellariCel>();
    }
};

// Ink: textured blobs (or white) under the shading, lines on top.
class QXVideoFilterVellariPencil : public QXVideoFilterVellari {
public:
    QXVideoFilterVellariPencil();
    std::string className() const override { return "QXVideoFilterVellariPencil"; }
    Image processCIImage(const Image& image) override;

    static StyleList pencilStyles(const Bundle& bundle = Bundle::main());

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterVellariPencil>();
    }
};

// Zip: spot-colour shading over the blobs, lines on top.
class QXVideoFilterVellariZip : public QXVideoFilterVellari {
public:
    QXVideoFilterVellariZip();
    std::string className() const override { return "QXVideoFilterVellariZip"; }
    Image processCIImage(const Image& image) override;

    static StyleList zipStyles(const Bundle& bundle = Bundle::main());

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterVellariZip>();
    }
};

// Anime: the base pipeline with grey-toned lines and a vibrant look-up table.
class QXVideoFilterVellariAnime : public QXVideoFilterVellari {
public:
    QXVideoFilterVellariAnime();
    std::string className() const override { return "QXVideoFilterVellariAnime"; }

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterVellariAnime>();
    }
};

// The normalised picture at the output size, nothing drawn.
class QXVideoFilterVellariNone : public QXVideoFilterVellari {
public:
    QXVideoFilterVellariNone();
    std::string className() const override { return "QXVideoFilterVellariNone"; }
    Image processCIImage(const Image& image) override;

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterVellariNone>();
    }
};

// The input scaled to the output size and nothing else.
class QXVideoFilterNone : public QXVideoFilterAbstract {
public:
    QXVideoFilterNone();
    std::string className() const override { return "QXVideoFilterNone"; }
    Image processCIImage(const Image& image) override;

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override {
        return std::make_shared<QXVideoFilterNone>();
    }
};

// The application's selectable styles: cel, then comic, then pencil (16 in all).
StyleList applicationStyles(const Bundle& bundle = Bundle::main());

}  // namespace vellari
