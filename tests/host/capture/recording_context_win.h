#pragma once

#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <utility>
#include <vector>

#include "tests/host/support/com_object_win.h"
#include "tests/host/support/d3d11_stubs_win.h"

namespace veyra::testing {

// What a RecordingContext saw, and its script. Owned by the test.
struct ContextRecord {
  struct MapCall {
    UINT width;  // of the texture mapped
    UINT height;
    UINT flags;
  };
  std::vector<MapCall> maps;
  int fullCopies = 0;  // CopyResource calls
  int draws = 0;
  // The next this many maps with D3D11_MAP_FLAG_DO_NOT_WAIT answer
  // DXGI_ERROR_WAS_STILL_DRAWING, as while the GPU has not copied yet.
  int stillDrawing = 0;
};

// A real immediate context behind a recorder: the calls the pointer
// overlay makes are counted and passed on, so the pictures are real.
class RecordingContext final
    : public ComObject<StubID3D11DeviceContext, ID3D11DeviceChild, ID3D11DeviceContext> {
 public:
  RecordingContext(ComPtr<ID3D11DeviceContext> real, ContextRecord* record)
      : real_(std::move(real)), record_(record) {}

  void STDMETHODCALLTYPE GetDevice(ID3D11Device** device) override { real_->GetDevice(device); }
  HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP type,
                                UINT flags, D3D11_MAPPED_SUBRESOURCE* mapped) override {
    D3D11_TEXTURE2D_DESC desc{};
    ComPtr<ID3D11Texture2D> texture;
    if (SUCCEEDED(resource->QueryInterface(IID_PPV_ARGS(texture.GetAddressOf())))) {
      texture->GetDesc(&desc);
    }
    record_->maps.push_back({desc.Width, desc.Height, flags});
    if ((flags & D3D11_MAP_FLAG_DO_NOT_WAIT) != 0 && record_->stillDrawing > 0) {
      --record_->stillDrawing;
      return DXGI_ERROR_WAS_STILL_DRAWING;
    }
    return real_->Map(resource, subresource, type, flags, mapped);
  }
  void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT subresource) override {
    real_->Unmap(resource, subresource);
  }
  void STDMETHODCALLTYPE CopyResource(ID3D11Resource* target, ID3D11Resource* source) override {
    ++record_->fullCopies;
    real_->CopyResource(target, source);
  }
  void STDMETHODCALLTYPE CopySubresourceRegion(ID3D11Resource* target, UINT targetIndex, UINT x,
                                               UINT y, UINT z, ID3D11Resource* source,
                                               UINT sourceIndex, const D3D11_BOX* box) override {
    real_->CopySubresourceRegion(target, targetIndex, x, y, z, source, sourceIndex, box);
  }
  void STDMETHODCALLTYPE UpdateSubresource(ID3D11Resource* target, UINT index, const D3D11_BOX* box,
                                           const void* data, UINT rowPitch,
                                           UINT depthPitch) override {
    real_->UpdateSubresource(target, index, box, data, rowPitch, depthPitch);
  }
  void STDMETHODCALLTYPE Flush() override { real_->Flush(); }
  void STDMETHODCALLTYPE IASetInputLayout(ID3D11InputLayout* layout) override {
    real_->IASetInputLayout(layout);
  }
  void STDMETHODCALLTYPE IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology) override {
    real_->IASetPrimitiveTopology(topology);
  }
  void STDMETHODCALLTYPE VSSetShader(ID3D11VertexShader* shader,
                                     ID3D11ClassInstance* const* instances, UINT count) override {
    real_->VSSetShader(shader, instances, count);
  }
  void STDMETHODCALLTYPE PSSetShader(ID3D11PixelShader* shader,
                                     ID3D11ClassInstance* const* instances, UINT count) override {
    real_->PSSetShader(shader, instances, count);
  }
  void STDMETHODCALLTYPE PSSetShaderResources(UINT slot, UINT count,
                                              ID3D11ShaderResourceView* const* views) override {
    real_->PSSetShaderResources(slot, count, views);
  }
  void STDMETHODCALLTYPE PSSetConstantBuffers(UINT slot, UINT count,
                                              ID3D11Buffer* const* buffers) override {
    real_->PSSetConstantBuffers(slot, count, buffers);
  }
  void STDMETHODCALLTYPE OMSetBlendState(ID3D11BlendState* state, const FLOAT* factor,
                                         UINT mask) override {
    real_->OMSetBlendState(state, factor, mask);
  }
  void STDMETHODCALLTYPE OMSetRenderTargets(UINT count, ID3D11RenderTargetView* const* views,
                                            ID3D11DepthStencilView* depth) override {
    real_->OMSetRenderTargets(count, views, depth);
  }
  void STDMETHODCALLTYPE RSSetViewports(UINT count, const D3D11_VIEWPORT* viewports) override {
    real_->RSSetViewports(count, viewports);
  }
  void STDMETHODCALLTYPE Draw(UINT vertices, UINT first) override {
    ++record_->draws;
    real_->Draw(vertices, first);
  }

 private:
  ComPtr<ID3D11DeviceContext> real_;
  ContextRecord* record_;
};

}  // namespace veyra::testing
