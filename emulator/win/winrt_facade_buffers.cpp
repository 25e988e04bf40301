// The Runtime facade's buffers: IBuffer with IBufferByteAccess, and CryptographicBuffer's statics.
#include "emulator/win/winrt_facade_internal.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/win/com_ptr.h"

using namespace QuarnWinRT;

namespace WinRTFacade {

namespace {

// Buffers: IBuffer with IBufferByteAccess, as Windows.Storage.Streams.Buffer.

class ByteBuffer final : public RuntimeObject<ByteBuffer, IBuffer>, public IBufferByteAccess {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Storage.Streams.Buffer";

    ByteBuffer(const BYTE* bytes, UINT32 length) : m_Bytes(bytes, bytes + length), m_Length(length) {}

    void* Find(REFIID iid) {
        if (iid == IID_IBuffer) {
            return static_cast<IBuffer*>(this);
        }
        if (iid == IID_IBufferByteAccess) {
            return static_cast<IBufferByteAccess*>(this);
        }
        return nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = static_cast<UINT32>(m_Bytes.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Length;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Length(UINT32 value) override {
        if (value > m_Bytes.size()) {
            return E_INVALIDARG;
        }
        m_Length = value;
        return S_OK;
    }
    // IBufferByteAccess (its IUnknown forwards to the buffer's).
    QUARN_FORWARD_UNKNOWN()
    HRESULT STDMETHODCALLTYPE Buffer(BYTE** value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Bytes.empty() ? nullptr : m_Bytes.data();
        return S_OK;
    }

private:
    std::vector<BYTE> m_Bytes;
    UINT32 m_Length;
};

class CryptographicBufferStatics final : public RuntimeObject<CryptographicBufferStatics, IActivationFactory>,
                                         public ICryptographicBufferStatics {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Security.Cryptography.CryptographicBuffer";

    void* Find(REFIID iid) {
        if (iid == __uuidof(IActivationFactory)) {
            return static_cast<IActivationFactory*>(this);
        }
        if (iid == IID_ICryptographicBufferStatics) {
            return static_cast<ICryptographicBufferStatics*>(this);
        }
        return nullptr;
    }
    QUARN_FORWARD_INSPECTABLE()

    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE Compare(IBuffer* a, IBuffer* b, boolean* isEqual) override {
        std::string left;
        std::string right;
        if (isEqual == nullptr || !ReadBuffer(a, &left) || !ReadBuffer(b, &right)) {
            return E_INVALIDARG;
        }
        *isEqual = left == right;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GenerateRandom(UINT32, IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GenerateRandomNumber(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateFromByteArray(UINT32 length, BYTE* bytes, IBuffer** buffer) override {
        if (buffer == nullptr || (bytes == nullptr && length != 0)) {
            return E_POINTER;
        }
        *buffer = new ByteBuffer(bytes, length);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyToByteArray(IBuffer* buffer, UINT32* length, BYTE** bytes) override {
        std::string content;
        if (length == nullptr || bytes == nullptr || !ReadBuffer(buffer, &content)) {
            return E_INVALIDARG;
        }
        *bytes = static_cast<BYTE*>(CoTaskMemAlloc(content.empty() ? 1 : content.size()));
        if (*bytes == nullptr) {
            return E_OUTOFMEMORY;
        }
        std::memcpy(*bytes, content.data(), content.size());
        *length = static_cast<UINT32>(content.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DecodeFromHexString(HSTRING, IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EncodeToHexString(IBuffer*, HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DecodeFromBase64String(HSTRING, IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EncodeToBase64String(IBuffer*, HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConvertStringToBinary(HSTRING, BinaryStringEncoding, IBuffer**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ConvertBinaryToString(BinaryStringEncoding, IBuffer*, HSTRING*) override {
        return E_NOTIMPL;
    }
};

}  // namespace

IBuffer* NewByteBuffer(const BYTE* bytes, UINT32 length) { return new ByteBuffer(bytes, length); }

bool ReadBuffer(IBuffer* buffer, std::string* bytes) {
    UINT32 length = 0;
    if (buffer == nullptr || FAILED(buffer->get_Length(&length))) {
        return false;
    }
    IBufferByteAccess* access = nullptr;
    if (FAILED(buffer->QueryInterface(IID_IBufferByteAccess, reinterpret_cast<void**>(&access)))) {
        return false;
    }
    ComPtr<IBufferByteAccess> accessRef(access);
    BYTE* data = nullptr;
    if (FAILED(access->Buffer(&data)) || (data == nullptr && length != 0)) {
        return false;
    }
    bytes->assign(reinterpret_cast<const char*>(data), length);
    return true;
}

IActivationFactory* NewCryptographicBufferStatics() {
    return static_cast<IActivationFactory*>(new CryptographicBufferStatics());
}

}  // namespace WinRTFacade
