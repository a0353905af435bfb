#include "dispensers/eltra/Driver.h"

#include "dispensers/eltra/Dimension.h"

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

std::error_code Driver::setConfig(const nlohmann::json& section) {
    log(Log::Info, "New configuration provided: '%s'", section.dump().c_str());
    // A wrong type is the request's fault: refuse it before any of it reaches the printer or the section.
    if (section.contains("params") && section["params"].is_array()) {
        for (const auto& param : section["params"]) {
            if (!param.is_string()) {
                log(Log::Warning, "Firmware parameter is not a text: '%s'", param.dump().c_str());
                return ErrorCode::MalformedRequest;
            }
        }
    }
    metrics.setOfflineAfterFailures(3);

    // Every setting is sent even after one failed, so the printer ends as close to the request as it
    // can; the first failure is what the caller hears about.
    std::error_code first;
    const auto keep = [&first](std::error_code ec) {
        if (ec && !first)
            first = ec;
    };
    keep(setFirmwareParameter("530001"));

    const bool hasQrEcc = section.contains("qrEcc");
    const bool hasThermalTime = section.contains("thermalTime") && section["thermalTime"].is_number();
    const bool hasFolder = section.contains("folder") && section["folder"].is_number();
    const bool hasParams = section.contains("params") && section["params"].is_array();
    const bool hasReels = section.contains("reel1") || section.contains("reel2");

    mConfig.updateFromJson(section);

    if (hasReels) {
        const std::string digits = std::to_string(mConfig.cutOffsetType(Types::Reel::Reel2)) +
                                   std::to_string(mConfig.cutOffsetType(Types::Reel::Reel1));
        log(Log::Info, "Setting CutOffsetType '%s'", digits.c_str());
        keep(setFirmwareParameter("3900" + digits));
    }
    if (hasFolder) {
        const int folder = mConfig.folder();
        keep(setFolder(folder));
        const int offset = mConfig.cutOffset(folder == 1 ? Types::Reel::Reel1 : Types::Reel::Reel2);
        std::string hex;
        if (const std::error_code ec = ELG150191::parseDimention(offset, 4, hex)) {
            log(Log::Warning, "Cut offset %d does not fit four hex digits", offset);
            keep(ec);
        } else {
            keep(setCutOffset(hex));
        }
    }
    if (hasParams)
        for (const auto& param : section["params"])
            keep(setFirmwareParameter(param.get<std::string>()));
    if (hasQrEcc)
        keep(setQrEccLevel(mConfig.qrEcc()));
    if (hasThermalTime)
        keep(setThermalTime(mConfig.thermalTime()));
    return first ? first : std::error_code(ErrorCode::Success);
}

std::error_code Driver::setFirmwareParameter(const std::string& param) {
    log(Log::Info, "Setting Firmware Parameter '%s'", param.c_str());
    if (param.size() != 6) {
        log(Log::Warning, "param size not 6: '%s'", param.c_str());
        return ErrorCode::MalformedRequest;
    }
    // The parameter goes into the link frame as it is: a control byte would end the frame early.
    for (const char c : param) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            log(Log::Warning, "param carries a control character: refused");
            return ErrorCode::MalformedRequest;
        }
    }
    std::string response;
    std::string code;
    if (const std::error_code ec = execute(response, code, 'y', param))
        return ec;
    if (code[1] == '0') {
        log(Log::Debug, "Set param: %s.", param.c_str());
        return ErrorCode::Success;
    }
    log(Log::Warning, "Failed to set param: %s (code '%s').", param.c_str(), code.c_str());
    return ErrorCode::UnknownError;
}

std::error_code Driver::setCutOffset(const std::string& offset) {
    log(Log::Info, "Setting cut offset to '%s'", offset.c_str());
    return setFirmwareParameter("2B" + offset);
}

std::error_code Driver::setQrEccLevel(QrEcc level) {
    const std::string param = level == QrEcc::Low ? "200001" : "20FFFF";
    log(Log::Info, "Setting QR ECC to '%s'", param.c_str());
    return setFirmwareParameter(param);
}

std::error_code Driver::setFolder(int folder) {
    log(Log::Info, "Setting folder to '%d'", folder);
    std::string data;
    ELG150191::parseDimention(folder, 2, data);
    std::string response;
    std::string code;
    if (const std::error_code ec = execute(response, code, 'K', data))
        return ec;
    switch (code[1]) {
    case '0':
        log(Log::Debug, "Set folder to: %d.", folder);
        return ErrorCode::Success;
    case '1':
        log(Log::Debug, "Failed to set folder to: %d (ValueOutOfRange).", folder);
        return ErrorCode::ValueOutOfRange;
    default:
        log(Log::Debug, "Failed to set folder to: %d (UnknownError).", folder);
        return ErrorCode::UnknownError;
    }
}

std::error_code Driver::setThermalTime(int thermalTime) {
    log(Log::Info, "Setting thermal time...");
    std::string data;
    ELG150191::parseDimention(thermalTime, 2, data);
    std::string response;
    std::string code;
    if (const std::error_code ec = execute(response, code, 'I', data))
        return ec;
    switch (code[1]) {
    case '0':
        log(Log::Debug, "Set thermal time to: %d.", thermalTime);
        return ErrorCode::Success;
    case '1':
        log(Log::Debug, "Failed to set thermal time to: %d (ValueOutOfRange).", thermalTime);
        return ErrorCode::ValueOutOfRange;
    default:
        log(Log::Debug, "Failed to set thermal time to: %d (UnknownError).", thermalTime);
        return ErrorCode::UnknownError;
    }
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
