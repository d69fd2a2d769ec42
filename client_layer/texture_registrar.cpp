#include "texture_registrar.h"

#include <cstddef>
#include <iostream>
#include <memory>
#include <utility>

namespace flutter {
namespace {

// The runtime reads the description at these places.
static_assert(offsetof(FlutterDesktopTextureInfo, pixel_buffer_config) == 8);
static_assert(offsetof(FlutterDesktopTextureInfo, gpu_surface_config) == 8);
static_assert(sizeof(FlutterDesktopGpuSurfaceTextureConfig) == 32);

// The runtime asks on its own schedule; nothing may unwind into it.
const void* CopyPixelBuffer(size_t width, size_t height, void* user_data) {
  try {
    return static_cast<const PixelBufferTexture*>(user_data)->CopyPixelBuffer(width, height);
  } catch (...) {
    return nullptr;
  }
}

const void* ObtainSurface(size_t width, size_t height, void* user_data) {
  try {
    return static_cast<const GpuSurfaceTexture*>(user_data)->ObtainDescriptor(width, height);
  } catch (...) {
    return nullptr;
  }
}

void OnUnregistered(void* user_data) {
  const std::unique_ptr<std::function<void()>> callback(
      static_cast<std::function<void()>*>(user_data));
  try {
    if (*callback) (*callback)();
  } catch (...) {
    std::cerr << "Uncaught exception in a texture unregistration callback" << std::endl;
  }
}

}  // namespace

int64_t TextureRegistrarImpl::RegisterTexture(TextureVariant* texture) {
  FlutterDesktopTextureInfo info{};
  if (auto* pixels = texture != nullptr ? std::get_if<PixelBufferTexture>(texture) : nullptr) {
    info.type = kFlutterDesktopPixelBufferTexture;
    info.pixel_buffer_config.callback = CopyPixelBuffer;
    info.pixel_buffer_config.user_data = pixels;
  } else if (auto* surface =
                 texture != nullptr ? std::get_if<GpuSurfaceTexture>(texture) : nullptr) {
    info.type = kFlutterDesktopGpuSurfaceTexture;
    info.gpu_surface_config.struct_size = sizeof(FlutterDesktopGpuSurfaceTextureConfig);
    info.gpu_surface_config.type = surface->surface_type();
    info.gpu_surface_config.callback = ObtainSurface;
    info.gpu_surface_config.user_data = surface;
  } else {
    std::cerr << "Attempting to register unknown texture variant." << std::endl;
    return -1;
  }
  return FlutterDesktopTextureRegistrarRegisterExternalTexture(textureRegistrar_, &info);
}

bool TextureRegistrarImpl::MarkTextureFrameAvailable(int64_t texture_id) {
  return FlutterDesktopTextureRegistrarMarkExternalTextureFrameAvailable(textureRegistrar_,
                                                                         texture_id);
}

bool TextureRegistrarImpl::UnregisterTexture(int64_t texture_id) {
  UnregisterTexture(texture_id, nullptr);
  return true;
}

void TextureRegistrarImpl::UnregisterTexture(int64_t texture_id, std::function<void()> callback) {
  if (!callback) {
    FlutterDesktopTextureRegistrarUnregisterExternalTexture(textureRegistrar_, texture_id, nullptr,
                                                            nullptr);
    return;
  }
  auto record = std::make_unique<std::function<void()>>(std::move(callback));
  FlutterDesktopTextureRegistrarUnregisterExternalTexture(textureRegistrar_, texture_id,
                                                          OnUnregistered, record.release());
}

}  // namespace flutter
