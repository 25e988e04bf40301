#include "modem/win/mbim_winrt.h"

#include <roapi.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/win/activation_factory.h"
#include "common/win/agile_delegate.h"
#include "common/win/com_ptr.h"
#include "common/win/default_modem.h"
#include "trace/trace.h"

using namespace QuarnWinRT;

namespace QUARN_MBIM_WINRT {

namespace {

constexpr const wchar_t* VENDOR_AT_DEVICE_SERVICE_ID = L"{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";
constexpr UINT32 AT_TUNNEL_COMMAND_ID = 1;

// Shared by the waiter and the completion handler; whoever lets go last closes the event,
// so a completion after the waiter gave up touches only this.
struct WaitState {
    explicit WaitState(HANDLE done) : Done(done) {}
    ~WaitState() { CloseHandle(Done); }
    WaitState(const WaitState&) = delete;
    WaitState& operator=(const WaitState&) = delete;
    HANDLE Done;
    std::atomic<AsyncStatus> Status{AsyncStatus::Started};
};

class CompletionHandler final
    : public AgileDelegate<IAsyncOperationCompletedHandler_CommandResult, IID_IAsyncOperationCompletedHandler_CommandResult> {
public:
    explicit CompletionHandler(std::shared_ptr<WaitState> state) : m_State(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation_CommandResult*, AsyncStatus status) override {
        m_State->Status = status;
        SetEvent(m_State->Done);
        return S_OK;
    }

private:
    std::shared_ptr<WaitState> m_State;
};

}  // namespace

HRESULT MBIMWinRT::ExecuteMBIMCommand(uint32_t ulCommandDataLength, const uint8_t* commandData,
                                      uint32_t* responseLength, uint8_t* response, uint32_t timeoutMs) {
    try {
        std::vector<BYTE> payload(MBIM_PAYLOAD_LIMIT, 0);

        ComPtr<IMobileBroadbandModem> modem = GetDefaultModem("The Default Modem object does not exist!");
        GUID serviceId{};
        ThrowIfFailed(CLSIDFromString(VENDOR_AT_DEVICE_SERVICE_ID, &serviceId));
        ComPtr<IMobileBroadbandDeviceService> service;
        ThrowIfFailed(modem->GetDeviceService(serviceId, service.Put()));
        if (!service) {
            throw std::runtime_error("DeviceService object does not exist!");
        }
        ComPtr<IMobileBroadbandDeviceServiceCommandSession> session;
        ThrowIfFailed(service->OpenCommandSession(session.Put()));
        if (!session) {
            throw std::runtime_error("CommandSession object does not exist!");
        }
        if (ulCommandDataLength > MBIM_PAYLOAD_LIMIT) {
            throw std::runtime_error("ulCommandDataLength invalid!");
        }
        if (ulCommandDataLength != 0) {
            std::memcpy(payload.data(), commandData, ulCommandDataLength);
        }

        auto* crypto = ActivationFactory<ICryptographicBufferStatics>(
            RuntimeClass_Windows_Security_Cryptography_CryptographicBuffer, IID_ICryptographicBufferStatics);
        ComPtr<IBuffer> buffer;
        ThrowIfFailed(crypto->CreateFromByteArray(MBIM_PAYLOAD_LIMIT, payload.data(), buffer.Put()));
        // The modem receives exactly the payload bytes.
        ThrowIfFailed(buffer->put_Length(ulCommandDataLength));

        ComPtr<IAsyncOperation_CommandResult> operation;
        ThrowIfFailed(session->SendSetCommandAsync(AT_TUNNEL_COMMAND_ID, buffer.Get(), operation.Put()));
        if (!operation) {
            throw std::runtime_error("executeOperation failed!");
        }
        if (WaitMBIMCommandComplete(timeoutMs, operation.Get(), responseLength, response) != 0) {
            throw std::runtime_error("WaitMBIMCommandComplete failed!");
        }
        return S_OK;
    } catch (const std::runtime_error& e) {
        LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : Catch runtime_error: %s\n", e.what());
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : Catch exception: %s\n", e.what());
    } catch (const HresultError& e) {
        LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : Catch hresult_error: %x, %ls\n",
                  static_cast<unsigned>(e.code()), e.message().c_str());
    } catch (...) {
        LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::ExecuteMBIMCommand : Catch Unknown exception\n");
    }
    return E_FAIL;
}

HRESULT MBIMWinRT::WaitMBIMCommandComplete(uint32_t timeoutMs, IAsyncOperation_CommandResult* operation,
                                           uint32_t* responseLength, uint8_t* response) {
    try {
        const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (done == nullptr) {
            ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError()));
        }
        auto state = std::make_shared<WaitState>(done);
        auto* handler = new CompletionHandler(state);
        const HRESULT attached = operation->put_Completed(handler);
        handler->Release();
        ThrowIfFailed(attached);

        WaitForSingleObject(state->Done, timeoutMs);
        if (state->Status != AsyncStatus::Completed) {
            return E_FAIL;  // the operation is left to finish, or not, on its own
        }
        ComPtr<IMobileBroadbandDeviceServiceCommandResult> result;
        ThrowIfFailed(operation->GetResults(result.Put()));
        if (!result) {
            return E_FAIL;
        }
        UINT32 statusCode = 0;
        ThrowIfFailed(result->get_StatusCode(&statusCode));
        if (statusCode != 0) {
            return static_cast<HRESULT>(statusCode);
        }
        ComPtr<IBuffer> data;
        ThrowIfFailed(result->get_ResponseData(data.Put()));
        if (!data) {
            ThrowIfFailed(E_POINTER);  // no buffer at all, unlike an empty one: the result is broken
        }
        UINT32 length = 0;
        ThrowIfFailed(data->get_Length(&length));
        if (length > MBIM_PAYLOAD_LIMIT) {
            // Cut, an AT answer could lose its final "OK" or "ERROR" and mislead.
            LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::WaitMBIMCommandComplete : %s: answer of %u bytes exceeds %u\n",
                      "QUARN_MBIM_WINRT::MBIMWinRT::WaitMBIMCommandComplete", static_cast<unsigned>(length),
                      static_cast<unsigned>(MBIM_PAYLOAD_LIMIT));
            return E_FAIL;
        }
        if (length != 0) {
            ComPtr<IBufferByteAccess> access;
            ThrowIfFailed(data->QueryInterface(IID_IBufferByteAccess, reinterpret_cast<void**>(access.Put())));
            BYTE* bytes = nullptr;
            ThrowIfFailed(access->Buffer(&bytes));
            if (bytes == nullptr) {
                return E_FAIL;
            }
            std::memcpy(response, bytes, length);
        }
        *responseLength = length;
        return 0;
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::WaitMBIMCommandComplete : Catch exception: %s\n", e.what());
    } catch (const HresultError& e) {
        LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::WaitMBIMCommandComplete : Catch hresult_error: %x, %ls\n",
                  static_cast<unsigned>(e.code()), e.message().c_str());
    } catch (...) {
        LOG_ERROR("[ERROR] QUARN_MBIM_WINRT::MBIMWinRT::WaitMBIMCommandComplete : Catch Unknown exception\n");
    }
    return E_FAIL;
}

}  // namespace QUARN_MBIM_WINRT
