#include "dispensers/eltra/Driver.h"

#include "dispensers/eltra/Dimension.h"

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

Driver::Driver(const std::string& device) : Driver(device, Timing{}) {}

Driver::Driver(const std::string& device, const Timing& timing) : device(device), timing(timing) {
    conf.fd = -1;
}

Driver::~Driver() = default;

void Driver::ReplyDeleter::operator()(elx_reply* r) const {
    release_reply(&r);
}

std::error_code Driver::launchExtra() {
    return ErrorCode::Success;
}
std::error_code Driver::start() {
    return ErrorCode::CommandNotSupported;
}
void Driver::stop() {}
void Driver::clearJamming() {
    jammed = false;
}
void Driver::clearMetrics() {
    metrics.clear();
}
std::error_code Driver::dispose() {
    return ErrorCode::CommandNotSupported;
}
std::error_code Driver::eject() {
    return ErrorCode::CommandNotSupported;
}
std::error_code Driver::park() {
    return ErrorCode::MalformedRequest;
}
std::error_code Driver::ping() {
    return ErrorCode::CommandNotSupported;
}
std::error_code Driver::setConfig(const nlohmann::json&) {
    return ErrorCode::Success;
}
tl::expected<std::string, std::error_code> Driver::getFirmwareVersion() {
    return tl::unexpected(std::error_code(ErrorCode::CommandNotSupported));
}
tl::expected<Status, std::error_code> Driver::getStatus() {
    return tl::unexpected(std::error_code(ErrorCode::Timeout));
}
tl::expected<ConnectionType, std::error_code> Driver::getConnectionType() const {
    return Serial;
}
tl::expected<std::string, std::error_code> Driver::getManufacturer() const {
    return "EltraSistemi";
}
tl::expected<std::string, std::error_code> Driver::getModel() const {
    return "ELG150191";
}
Metrics Driver::getMetrics() const {
    return metrics;
}
nlohmann::json Driver::getConfig() const {
    return mConfig.toJson();
}

std::error_code Driver::parseDimention(int value, int width, std::string& out) {
    return ELG150191::parseDimention(value, width, out);
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
