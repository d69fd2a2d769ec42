#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <variant>

#include "flutter_desktop.h"

namespace flutter {

// A texture whose frames are pixel buffers the plugin fills.
class PixelBufferTexture {
 public:
  using CopyBufferCallback =
      std::function<const FlutterDesktopPixelBuffer*(size_t width, size_t height)>;

  explicit PixelBufferTexture(CopyBufferCallback copy_buffer)
      : copyBuffer_(std::move(copy_buffer)) {}

  const FlutterDesktopPixelBuffer* CopyPixelBuffer(size_t width, size_t height) const {
    return copyBuffer_ ? copyBuffer_(width, height) : nullptr;
  }

 private:
  CopyBufferCallback copyBuffer_;
};

// A texture whose frames are GPU surfaces the plugin shares with the engine.
class GpuSurfaceTexture {
 public:
  using ObtainDescriptorCallback =
      std::function<const FlutterDesktopGpuSurfaceDescriptor*(size_t width, size_t height)>;

  GpuSurfaceTexture(int32_t surface_type, ObtainDescriptorCallback obtain_descriptor)
      : surfaceType_(surface_type), obtainDescriptor_(std::move(obtain_descriptor)) {}

  int32_t surface_type() const { return surfaceType_; }
  const FlutterDesktopGpuSurfaceDescriptor* ObtainDescriptor(size_t width, size_t height) const {
    return obtainDescriptor_ ? obtainDescriptor_(width, height) : nullptr;
  }

 private:
  int32_t surfaceType_;
  ObtainDescriptorCallback obtainDescriptor_;
};

using TextureVariant = std::variant<PixelBufferTexture, GpuSurfaceTexture>;

// Hands the engine externally produced frames.
class TextureRegistrar {
 public:
  TextureRegistrar() = default;
  virtual ~TextureRegistrar() = default;
  TextureRegistrar(const TextureRegistrar&) = delete;
  TextureRegistrar& operator=(const TextureRegistrar&) = delete;

  // The caller keeps the texture alive while it is registered. Returns the texture id, -1 when
  // the texture cannot be registered.
  virtual int64_t RegisterTexture(TextureVariant* texture) = 0;
  virtual bool MarkTextureFrameAvailable(int64_t texture_id) = 0;
  virtual bool UnregisterTexture(int64_t texture_id) = 0;
  // `callback` runs once, when the engine no longer uses the texture.
  virtual void UnregisterTexture(int64_t texture_id, std::function<void()> callback) = 0;
};

class TextureRegistrarImpl : public TextureRegistrar {
 public:
  explicit TextureRegistrarImpl(FlutterDesktopTextureRegistrarRef texture_registrar)
      : textureRegistrar_(texture_registrar) {}

  int64_t RegisterTexture(TextureVariant* texture) override;
  bool MarkTextureFrameAvailable(int64_t texture_id) override;
  bool UnregisterTexture(int64_t texture_id) override;
  void UnregisterTexture(int64_t texture_id, std::function<void()> callback) override;

 private:
  FlutterDesktopTextureRegistrarRef textureRegistrar_;
};

}  // namespace flutter
