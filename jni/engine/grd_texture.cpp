#include "jni/engine/grd_texture.h"

#include "app/log.h"
#include "jni/engine/grd_framebuffer.h"

#include <algorithm>
#include <glbinding/gl/gl.h>
#include <iterator>

using namespace gl;

std::vector<CachedTexture> txtCachedTextures;

namespace {

constexpr int32_t VOLUME_SIZE = 256;

void discardGlErrors()
{
    while (glGetError() != GL_NO_ERROR) {
    }
}

void checkTextureErrors(const char* file, int line)
{
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError()) {
        log_print("[%s : %4d]\"%s:%d: %s() glError (0x%x)\n\"", "__checkGlError", __LINE__, file, line,
                  "texture creation", static_cast<unsigned>(error));
        log_end_line();
    }
}
#define TXT_CHECK_GL_ERRORS() checkTextureErrors(__FILE__, __LINE__)

bool isIntegerType(ImageType type)
{
    return type >= IMAGE_TYPE_RGBA8UI && type <= IMAGE_TYPE_STENCIL8;
}

bool isInvalidType(ImageType type)
{
    return type < IMAGE_TYPE_FIRST || type > IMAGE_TYPE_LAST || type == 14;
}

// floor(log2(max(width, height))) + 1, within the device layer's level limit.
int32_t fullChainLength(int32_t width, int32_t height)
{
    uint32_t largest = static_cast<uint32_t>(std::max(std::max(width, height), 1));
    int32_t levels = 1;
    while (largest >>= 1)
        ++levels;
    return std::min(levels, IMAGE_MAX_LEVELS);
}

int32_t levelSize(int32_t size, int level)
{
    return std::max(size >> level, 1);
}

// The data type CPU pixels go up with. The integer colour types are stored one channel width per channel;
// reading them as 32-bit values would read past the pixel buffer.
GLenum uploadDataType(ImageType type)
{
    switch (type) {
    case IMAGE_TYPE_RGBA8UI:
    case IMAGE_TYPE_R8UI: return GL_UNSIGNED_BYTE;
    case IMAGE_TYPE_RGBA16UI:
    case IMAGE_TYPE_R16UI: return GL_UNSIGNED_SHORT;
    default: return imgTypeInfo(type)->dataType;
    }
}

// Bytes GL reads per pixel for an upload format and type; 0 when unknown.
int32_t uploadPixelBytes(GLenum format, GLenum type)
{
    if (type == GL_FLOAT_32_UNSIGNED_INT_24_8_REV)
        return 8;
    int32_t channels = 0;
    switch (format) {
    case GL_RED:
    case GL_RED_INTEGER:
    case GL_DEPTH_COMPONENT:
    case GL_STENCIL_INDEX: channels = 1; break;
    case GL_RG:
    case GL_RG_INTEGER: channels = 2; break;
    case GL_RGB:
    case GL_RGB_INTEGER: channels = 3; break;
    case GL_RGBA:
    case GL_RGBA_INTEGER: channels = 4; break;
    default: return 0;
    }
    switch (type) {
    case GL_UNSIGNED_BYTE: return channels;
    case GL_UNSIGNED_SHORT:
    case GL_HALF_FLOAT: return channels * 2;
    case GL_UNSIGNED_INT:
    case GL_FLOAT: return channels * 4;
    default: return 0;
    }
}

// CPU pixels of the image can go up as recorded without GL reading past them.
bool pixelsUploadable(const Image* image)
{
    const ImageTypeInfo* info = imgTypeInfo(image->type);
    return image->levels[0] && info &&
           uploadPixelBytes(image->glFormat, image->glDataType) == info->bytesPerPixel;
}

void setLabel(GLenum identifier, GLuint id, const std::string& label)
{
    GLint maxLength = 256;
    glGetIntegerv(GL_MAX_LABEL_LENGTH, &maxLength);
    const std::string text = label.substr(0, static_cast<size_t>(std::max(maxLength - 1, 0)));
    glObjectLabel(identifier, id, -1, text.c_str());
}

GLenum wrapMode(TextureType textureType, ImageType imageType, int32_t width, int32_t height)
{
    const bool clamp = textureType == TEXTURE_TYPE_CUBE || countBits(static_cast<uint32_t>(width)) > 1 ||
                       countBits(static_cast<uint32_t>(height)) > 1 || imageType == IMAGE_TYPE_DEPTH24 ||
                       imageType == IMAGE_TYPE_DEPTH32F;
    return clamp ? GL_CLAMP_TO_EDGE : GL_REPEAT;
}

void setParameter(GLuint id, GLenum name, GLenum value)
{
    glTextureParameteri(id, name, static_cast<GLint>(value));
}

void setWrap(GLuint id, GLenum wrap)
{
    setParameter(id, GL_TEXTURE_WRAP_S, wrap);
    setParameter(id, GL_TEXTURE_WRAP_T, wrap);
    setParameter(id, GL_TEXTURE_WRAP_R, wrap);
}

// Level 0 and, for a mipmapped 2D image, the further levels that have CPU pixels.
void uploadImage(Texture* texture, int index, int32_t storageLevels, bool mipmapped)
{
    Image* image = texture->images[index];
    const GLuint id = texture->glId;
    const bool pixels = pixelsUploadable(image);
    const int32_t w = image->width;
    const int32_t h = image->height;
    switch (texture->type) {
    case TEXTURE_TYPE_2D:
        if (mipmapped) {
            glTextureStorage2D(id, storageLevels, imgTypeInfo(image->type)->internalFormat, w, h);
            for (int k = 0; pixels && k < storageLevels && image->levels[k]; ++k)
                glTextureSubImage2D(id, k, 0, 0, levelSize(w, k), levelSize(h, k), image->glFormat,
                                    image->glDataType, image->levels[k]);
        } else {
            glTextureStorage2D(id, 1, imgTypeInfo(image->type)->internalFormat, w, h);
            if (pixels && image->type != IMAGE_TYPE_RGBA16UI)
                glTextureSubImage2D(id, 0, 0, 0, w, h, image->glFormat, image->glDataType, image->levels[0]);
        }
        break;
    case TEXTURE_TYPE_3D:
        glTextureStorage3D(id, 1, imgTypeInfo(image->type)->internalFormat, w, h, image->depth);
        if (pixels)
            glTextureSubImage3D(id, 0, 0, 0, 0, w, h, image->depth, image->glFormat, image->glDataType,
                                image->levels[0]);
        break;
    case TEXTURE_TYPE_CUBE:
        if (index == 0) {
            // The whole chain even for single-level faces; mip generation may fill it later.
            glTextureStorage2D(id, storageLevels, imgTypeInfo(image->type)->internalFormat, w, h);
            if (mipmapped)
                glEnable(GL_TEXTURE_CUBE_MAP_SEAMLESS);
        }
        // Levels without CPU pixels stay as they are: mip generation or the cube filter writes them.
        for (int k = 0; pixels && k < (mipmapped ? storageLevels : 1) && image->levels[k]; ++k)
            glTextureSubImage3D(id, k, 0, 0, index, levelSize(w, k), levelSize(h, k), 1, image->glFormat,
                                image->glDataType, image->levels[k]);
        break;
    default: break;
    }
}

} // namespace

// ---- Format lookups ----

GLenum txtGetInternalFormat(ImageType type)
{
    const ImageTypeInfo* info = imgTypeInfo(type);
    if (!info || info->internalFormat == GL_NONE) {
        LOG_ERROR("Invalid image type:0x%x (%d)", type, type);
        return GL_RGBA8;
    }
    return info->internalFormat;
}

const char* txtGetInternalFormatName(ImageType type)
{
    const ImageTypeInfo* info = imgTypeInfo(type);
    if (!info || !info->formatWord) {
        LOG_ERROR("Invalid image type:0x%x (%d)", type, type);
        return "<unsupported>";
    }
    return info->formatWord;
}

GLenum txtGetDataType(ImageType type)
{
    const ImageTypeInfo* info = imgTypeInfo(type);
    if (!info || info->dataType == GL_NONE) {
        LOG_ERROR("Invalid image type:0x%x (%d)", type, type);
        return GL_UNSIGNED_BYTE;
    }
    return info->dataType;
}

GLenum txtGetTarget(TextureType type)
{
    switch (type) {
    case TEXTURE_TYPE_2D: return GL_TEXTURE_2D;
    case TEXTURE_TYPE_CUBE: return GL_TEXTURE_CUBE_MAP;
    case TEXTURE_TYPE_3D: return GL_TEXTURE_3D;
    default: LOG_ERROR("Invalid texture type:0x%x", type); return static_cast<GLenum>(0);
    }
}

bool txtIsFormatInteger(ImageType type)
{
    if (isInvalidType(type)) {
        LOG_ERROR("Invalid image type:0x%x (%d)", type, type);
        return false;
    }
    return isIntegerType(type);
}

int countBits(uint32_t value)
{
    int count = 0;
    for (; value; value &= value - 1)
        ++count;
    return count;
}

// ---- Creation and destruction ----

Texture* txtCreate(TextureType textureType, int32_t width, int32_t height, ImageType imageType)
{
    int32_t count = 0;
    switch (textureType) {
    case TEXTURE_TYPE_2D:
    case TEXTURE_TYPE_3D: count = 1; break; // a volume is one image, not six
    case TEXTURE_TYPE_CUBE: count = 6; break;
    default: LOG_ERROR("Invalid texture type:0x%x", textureType); return nullptr;
    }
    auto* texture = new Texture;
    texture->type = textureType;
    texture->imageCount = count;
    for (int32_t i = 0; i < count; ++i) {
        texture->images[i] = imgCreate(width, height, imageType);
        if (!texture->images[i]) {
            LOG_ERROR("Not enough memory for texture: %d %d x %d %d", textureType, width, height, imageType);
            txtDestroy(texture);
            return nullptr;
        }
    }
    return texture;
}

Texture* txtCreate3D(ImageType imageType)
{
    auto* texture = new Texture;
    texture->type = TEXTURE_TYPE_3D;
    texture->imageCount = 1;
    texture->images[0] = imgCreate(VOLUME_SIZE, VOLUME_SIZE, imageType, VOLUME_SIZE);
    if (!texture->images[0]) {
        LOG_ERROR("Not enough memory for texture: %d %d x %d x %d %d", TEXTURE_TYPE_3D, VOLUME_SIZE, VOLUME_SIZE,
                  VOLUME_SIZE, imageType);
        txtDestroy(texture);
        return nullptr;
    }
    return texture;
}

Texture* txtCreateNamed(const char* name, TextureType textureType, int32_t width, int32_t height,
                        ImageType imageType)
{
    Texture* texture = txtCreate(textureType, width, height, imageType);
    if (!texture)
        return nullptr;
    texture->name = name ? name : "";
    txtSetupForGL(texture);
    txtSetLabel(texture, texture->name.c_str());
    return texture;
}

Texture* txtCreateTarget(const char* name, int32_t width, int32_t height, ImageType imageType)
{
    Image* image = imgCreateWithoutPixels(width, height, imageType);
    if (!image) {
        LOG_ERROR("Not enough memory for texture: %d %d x %d %d", TEXTURE_TYPE_2D, width, height, imageType);
        return nullptr;
    }
    auto* texture = new Texture;
    texture->type = TEXTURE_TYPE_2D;
    texture->imageCount = 1;
    texture->images[0] = image;
    texture->name = name ? name : "";
    txtSetupForGL(texture);
    if (texture->glId == 0) {
        txtDestroy(texture);
        return nullptr;
    }
    // Storage alone is undefined; targets start out zero as if zeros had been uploaded.
    glClearTexImage(texture->glId, 0, image->glFormat, image->glDataType, nullptr);
    TXT_CHECK_GL_ERRORS();
    setLabel(GL_TEXTURE, texture->glId, texture->name);
    return texture;
}

void txtSetLabel(Texture* texture, const char* label)
{
    if (!texture)
        return;
    if (texture->glId == 0)
        txtSetupForGL(texture);
    if (texture->glId != 0)
        setLabel(GL_TEXTURE, texture->glId, label ? label : "");
}

Texture* txtLoad(const char* name)
{
    Image* image = imgLoad(name ? name : "");
    if (!image)
        return nullptr;
    auto* texture = new Texture;
    texture->type = TEXTURE_TYPE_2D;
    texture->imageCount = 1;
    texture->images[0] = image;
    return texture;
}

void txtDestroy(Texture* texture)
{
    if (!texture)
        return;
    for (Image*& image : texture->images) {
        imgDestroy(image);
        image = nullptr;
    }
    if (texture->srgbViewId != 0 && texture->srgbViewId != texture->glId)
        glDeleteTextures(1, &texture->srgbViewId);
    if (texture->glId != 0)
        glDeleteTextures(1, &texture->glId);
    delete texture;
}

bool txtResize(Texture* texture, int32_t width, int32_t height)
{
    if (!texture || !texture->images[0]) {
        LOG_ERROR("Resize of a texture without images");
        return false;
    }
    Image* old = texture->images[0];
    if (texture->type != TEXTURE_TYPE_2D || texture->imageCount != 1 || old->levelCount > 1 || width < 1 ||
        height < 1) {
        LOG_ERROR("Texture <%s>: cannot be made again at %d x %d (only single-level 2D textures)",
                  texture->name.c_str(), width, height);
        return false;
    }
    if (old->width == width && old->height == height)
        return true;
    Image* image = texture->glId != 0 ? imgCreateWithoutPixels(width, height, old->type)
                                      : imgCreate(width, height, old->type);
    if (!image) {
        LOG_ERROR("Not enough memory for texture <%s> at %d x %d", texture->name.c_str(), width, height);
        return false;
    }
    if (texture->glId == 0) {
        // Not uploaded yet: the upload makes it at the new size.
        imgDestroy(old);
        texture->images[0] = image;
        return true;
    }

    // Parameters set after creation survive; the GL label too.
    const GLuint oldId = texture->glId;
    const GLenum names[] = {GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER, GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T,
                            GL_TEXTURE_WRAP_R, GL_TEXTURE_COMPARE_MODE, GL_TEXTURE_COMPARE_FUNC};
    GLint values[std::size(names)] = {};
    for (size_t i = 0; i < std::size(names); ++i)
        glGetTextureParameteriv(oldId, names[i], &values[i]);
    char label[256] = {};
    GLsizei length = 0;
    glGetObjectLabel(GL_TEXTURE, oldId, sizeof(label), &length, label);
    const bool hadView = texture->srgbViewId != 0;

    if (texture->srgbViewId != 0 && texture->srgbViewId != oldId)
        glDeleteTextures(1, &texture->srgbViewId);
    texture->srgbViewId = 0;
    glDeleteTextures(1, &texture->glId);
    texture->glId = 0;
    imgDestroy(old);
    texture->images[0] = image;

    txtSetupForGL(texture);
    if (texture->glId == 0)
        return false;
    glClearTexImage(texture->glId, 0, image->glFormat, image->glDataType, nullptr);
    for (size_t i = 0; i < std::size(names); ++i)
        glTextureParameteri(texture->glId, names[i], values[i]);
    if (length > 0)
        glObjectLabel(GL_TEXTURE, texture->glId, length, label);
    if (hadView)
        txtCreateSRGBView(texture);
    TXT_CHECK_GL_ERRORS();
    return true;
}

// ---- Upload ----

void txtSetupForGL(Texture* texture)
{
    if (!texture || texture->glId != 0)
        return;
    const Image* first = texture->images[0];
    if (!first || texture->imageCount < 1 || texture->imageCount > TEXTURE_MAX_IMAGES) {
        LOG_ERROR("Texture <%s> has no images", texture->name.c_str());
        return;
    }
    const ImageType type = first->type;
    const ImageTypeInfo* info = imgTypeInfo(type);
    if (!info || info->uploadFormat == GL_NONE) {
        LOG_ERROR("Invalid image type:0x%x", type);
        return;
    }
    const GLenum target = txtGetTarget(texture->type);
    if (target == static_cast<GLenum>(0))
        return;
    discardGlErrors();

    glCreateTextures(target, 1, &texture->glId);
    const int32_t levelCount = std::clamp(first->levelCount, 1, IMAGE_MAX_LEVELS);
    const int32_t chain = fullChainLength(first->width, first->height);
    const bool mipmapped = levelCount > 1 && chain > 1;
    const bool integer = isIntegerType(type);
    for (int i = 0; i < texture->imageCount; ++i) {
        Image* image = texture->images[i];
        // Format and size come from the first image; a face that differs would be read with the wrong size.
        if (!image || image->type != type || image->width != first->width || image->height != first->height) {
            LOG_ERROR("Texture <%s>: image %d does not match image 0", texture->name.c_str(), i);
            continue;
        }
        image->glFormat = info->uploadFormat;
        image->glDataType = uploadDataType(type);
        uploadImage(texture, i, chain, mipmapped);
        TXT_CHECK_GL_ERRORS();

        setParameter(texture->glId, GL_TEXTURE_MIN_FILTER,
                     integer ? GL_NEAREST_MIPMAP_NEAREST : (levelCount > 1 ? GL_LINEAR_MIPMAP_LINEAR : GL_LINEAR));
        setParameter(texture->glId, GL_TEXTURE_MAG_FILTER, integer ? GL_NEAREST : GL_LINEAR);
        setWrap(texture->glId, wrapMode(texture->type, type, image->width, image->height));
    }
}

void txtSetupForGLArray(TextureArray* array)
{
    if (!array || array->glId != 0)
        return;
    if (array->textures.empty() || !array->textures[0] || !array->textures[0]->images[0]) {
        LOG_ERROR("Texture array without a first layer");
        return;
    }
    const Texture* firstLayer = array->textures[0];
    const Image* first = firstLayer->images[0];
    const ImageType type = first->type;
    const ImageTypeInfo* info = imgTypeInfo(type);
    if (!info || info->uploadFormat == GL_NONE || type == IMAGE_TYPE_DEPTH32F_STENCIL8 ||
        type == IMAGE_TYPE_STENCIL8) {
        LOG_ERROR("Invalid image type:0x%x", type);
        return;
    }
    discardGlErrors();
    glCreateTextures(GL_TEXTURE_2D_ARRAY, 1, &array->glId);
    glTextureStorage3D(array->glId, 1, info->internalFormat, first->width, first->height,
                       static_cast<GLsizei>(array->textures.size()));
    const bool integer = isIntegerType(type);
    for (size_t i = 0; i < array->textures.size(); ++i) {
        Texture* layer = array->textures[i];
        Image* image = layer ? layer->images[0] : nullptr;
        if (!image || image->type != type) {
            LOG_ERROR("Texture array layer %zu is missing or not of type 0x%x", i, type);
            continue;
        }
        image->glFormat = info->uploadFormat;
        image->glDataType = uploadDataType(type);
        if (array->type == TEXTURE_TYPE_2D && pixelsUploadable(image))
            glTextureSubImage3D(array->glId, 0, 0, 0, static_cast<GLint>(i), image->width, image->height, 1,
                                image->glFormat, image->glDataType, image->levels[0]);
        TXT_CHECK_GL_ERRORS();
        setParameter(array->glId, GL_TEXTURE_MIN_FILTER, integer ? GL_NEAREST_MIPMAP_NEAREST : GL_LINEAR);
        setParameter(array->glId, GL_TEXTURE_MAG_FILTER, integer ? GL_NEAREST : GL_LINEAR);
        setWrap(array->glId, wrapMode(firstLayer->type, type, image->width, image->height));
    }
}

void txtUpdate(Texture* texture)
{
    if (!texture || texture->glId == 0 || texture->type == TEXTURE_TYPE_3D)
        return;
    for (int i = 0; i < texture->imageCount; ++i) {
        Image* image = texture->images[i];
        if (!image)
            continue;
        if (image->levelCount > 1)
            LOG_WARNING("Update of mipmapped images is not supported");
        if (!pixelsUploadable(image)) {
            LOG_ERROR("Texture <%s> image %d has no CPU pixels to update from", texture->name.c_str(), i);
            continue;
        }
        if (texture->type == TEXTURE_TYPE_CUBE)
            glTextureSubImage3D(texture->glId, 0, 0, 0, i, image->width, image->height, 1, image->glFormat,
                                image->glDataType, image->levels[0]);
        else
            glTextureSubImage2D(texture->glId, 0, 0, 0, image->width, image->height, image->glFormat,
                                image->glDataType, image->levels[0]);
    }
}

void txtUpdateRegion(Texture* texture, int32_t firstRow, int32_t width, int32_t height)
{
    if (!texture || texture->glId == 0 || texture->type == TEXTURE_TYPE_3D)
        return;
    for (int i = 0; i < texture->imageCount; ++i) {
        Image* image = texture->images[i];
        if (!image)
            continue;
        if (firstRow < 0 || width < 0 || height < 0 || width > image->width ||
            int64_t(firstRow) + height > image->height) {
            LOG_ERROR("Texture <%s>: region of rows %d + %d, width %d is outside %d x %d", texture->name.c_str(),
                      firstRow, height, width, image->width, image->height);
            return;
        }
        if (image->levelCount > 1)
            LOG_WARNING("Update of mipmapped images is not supported");
        if (!pixelsUploadable(image)) {
            LOG_ERROR("Texture <%s> image %d has no CPU pixels to update from", texture->name.c_str(), i);
            continue;
        }
        const uint8_t* rows =
            image->levels[0] + size_t(firstRow) * size_t(image->width) * size_t(imgBytesForImageType(image->type));
        // The CPU rows are full image rows even when the region is narrower.
        GLint rowLength = 0;
        glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, image->width);
        if (texture->type == TEXTURE_TYPE_CUBE)
            glTextureSubImage3D(texture->glId, 0, 0, firstRow, i, width, height, 1, image->glFormat,
                                image->glDataType, rows);
        else
            glTextureSubImage2D(texture->glId, 0, 0, firstRow, width, height, image->glFormat, image->glDataType,
                                rows);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, rowLength);
    }
}

void txtFreeImageData(Texture* texture)
{
    if (!texture || texture->glId == 0)
        return;
    for (Image* image : texture->images)
        imgFreeLevels(image);
}

bool txtGenerateMipMaps(Texture* texture)
{
    if (!texture || !texture->images[0]) {
        LOG_ERROR("Mip chain for a texture without images");
        return false;
    }
    if (texture->glId != 0) {
        LOG_WARNING("Texture was already pushed to VMEM");
    } else {
        Image* first = texture->images[0];
        first->levelCount = fullChainLength(first->width, first->height);
        txtSetupForGL(texture);
        if (texture->glId == 0)
            return false;
    }
    glGenerateTextureMipmap(texture->glId);
    TXT_CHECK_GL_ERRORS();
    return true;
}

void txtCreateSRGBView(Texture* texture)
{
    if (!texture || texture->srgbViewId != 0 || texture->type != TEXTURE_TYPE_2D)
        return;
    txtSetupForGL(texture);
    if (texture->glId == 0)
        return;
    const Image* first = texture->images[0];
    const GLenum ownFormat = txtGetInternalFormat(first->type);
    const GLenum viewFormat = first->type == IMAGE_TYPE_RGBA8  ? GL_SRGB8_ALPHA8
                              : first->type == IMAGE_TYPE_RGB8 ? GL_SRGB8
                                                               : ownFormat;
    if (viewFormat == ownFormat) {
        texture->srgbViewId = texture->glId;
        return;
    }
    char label[1025] = {};
    GLsizei length = 0;
    glGetObjectLabel(GL_TEXTURE, texture->glId, sizeof(label), &length, label);
    GLuint view = 0;
    glGenTextures(1, &view);
    glTextureView(view, GL_TEXTURE_2D, texture->glId, viewFormat, 0,
                  static_cast<GLuint>(std::clamp(first->levelCount, 1, IMAGE_MAX_LEVELS)), 0, 1);
    setLabel(GL_TEXTURE, view, std::string("[SRGB]") + std::string(label, static_cast<size_t>(length)));
    texture->srgbViewId = view;
}

// ---- Scratch pool ----

Texture* txtGetCachedTexture(int32_t width, int32_t height, ImageType imageType)
{
    for (CachedTexture& entry : txtCachedTextures) {
        const Image* image = entry.texture->images[0];
        if (!entry.inUse && image->width == width && image->height == height && image->type == imageType) {
            entry.inUse = true;
            return entry.texture;
        }
    }
    // Scratch targets are only drawn into and sampled; they carry no CPU pixels.
    const std::string name = "CachedTexture " + std::to_string(txtCachedTextures.size());
    Texture* texture = txtCreateTarget(name.c_str(), width, height, imageType);
    if (!texture)
        return nullptr;
    txtCachedTextures.push_back({texture, true});
    return texture;
}

void txtReleaseCachedTextures()
{
    for (CachedTexture& entry : txtCachedTextures)
        entry.inUse = false;
}

std::vector<const Texture*> txtDestroyCachedTexturesOfSize(int32_t width, int32_t height)
{
    std::vector<const Texture*> destroyed;
    auto kept = txtCachedTextures.begin();
    for (CachedTexture& entry : txtCachedTextures) {
        const Image* image = entry.texture->images[0];
        if (!entry.inUse && image->width == width && image->height == height) {
            fbForgetTexture(entry.texture);
            destroyed.push_back(entry.texture);
            txtDestroy(entry.texture);
        } else {
            *kept++ = entry;
        }
    }
    txtCachedTextures.erase(kept, txtCachedTextures.end());
    return destroyed;
}

void txtDestroyCachedTextures()
{
    for (CachedTexture& entry : txtCachedTextures)
        txtDestroy(entry.texture);
    txtCachedTextures.clear();
}
