// The telnet codec: encoding, option negotiation and the decoder's state
// machine, over bytes only.
#include "serial/telnet.h"

namespace {

using State = TelnetDecoder::State;

constexpr uint8_t kNul = 0;
constexpr uint8_t kCarriageReturn = '\r';

// The options korvel takes on either side.
bool WantedLocally(uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}
bool WantedRemotely(uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

size_t Negotiation(TelnetVerb verb, uint8_t option, std::span<uint8_t> out) {
  out[0] = kTelnetIac;
  out[1] = static_cast<uint8_t>(verb);
  out[2] = option;
  return kNegotiationSize;
}

// One side of one option: where it stands, whether korvel takes it, and
// the verbs that agree to it and refuse it on that side.
struct OptionSide {
  OptionState* state;
  bool* refused;
  bool wanted;
  TelnetVerb agree;
  TelnetVerb refuse;
};

// The server asks for the option on |side| to be on (WILL, DO) or off.
size_t AnswerSide(const OptionSide& side, bool on, uint8_t option, std::span<uint8_t> out) {
  OptionState& state = *side.state;
  if (!on) {
    // Turning off what was on is confirmed; a refusal of korvel's request,
    // or of what never was on, needs no answer.
    const bool wasOn = state == OptionState::kYes;
    state = OptionState::kNo;
    return wasOn ? Negotiation(side.refuse, option, out) : 0;
  }
  if (side.wanted) {
    // Agreed to: an answer only when korvel had not asked for it itself.
    const bool answered = state != OptionState::kNo;
    state = OptionState::kYes;
    return answered ? 0 : Negotiation(side.agree, option, out);
  }
  if (*side.refused) return 0;
  *side.refused = true;
  return Negotiation(side.refuse, option, out);
}

// Adds |octet| to the subnegotiation being read, or marks it truncated.
void AddToSubnegotiation(TelnetEvent* event, uint8_t octet) {
  if (event->length < event->payload.size()) {
    event->payload[event->length++] = octet;
  } else {
    event->truncated = true;
  }
}

// The octet after IAC, outside a subnegotiation.
void TakeCommand(TelnetDecoder* decoder, uint8_t octet) {
  switch (octet) {
    case static_cast<uint8_t>(TelnetVerb::kWill):
    case static_cast<uint8_t>(TelnetVerb::kWont):
    case static_cast<uint8_t>(TelnetVerb::kDo):
    case static_cast<uint8_t>(TelnetVerb::kDont):
      decoder->event = TelnetEvent{};
      decoder->event.kind = TelnetEvent::Kind::kNegotiation;
      decoder->event.verb = octet;
      decoder->state = State::kOption;
      return;
    case kTelnetSb:
      decoder->state = State::kSubOption;
      return;
    default:
      // NOP, data mark, go-ahead, a stray SE and the like carry nothing
      // for a serial line.
      decoder->state = State::kData;
      return;
  }
}

}  // namespace

size_t TelnetEncodeData(std::span<const uint8_t> data, bool binary, std::span<uint8_t> out) {
  size_t length = 0;
  for (uint8_t octet : data) {
    out[length++] = octet;
    if (octet == kTelnetIac) {
      out[length++] = kTelnetIac;
    } else if (octet == kCarriageReturn && !binary) {
      out[length++] = kNul;
    }
  }
  return length;
}

size_t TelnetComPortRequest(ComPortCommand command, std::span<const uint8_t> value,
                            std::span<uint8_t, kMaxComPortRequest> out) {
  size_t length = 0;
  out[length++] = kTelnetIac;
  out[length++] = kTelnetSb;
  out[length++] = kOptionComPort;
  out[length++] = static_cast<uint8_t>(command);
  // Inside a subnegotiation 0xFF is doubled as in data; a CR is not.
  for (size_t i = 0; i < value.size() && i < 4; ++i) {
    out[length++] = value[i];
    if (value[i] == kTelnetIac) out[length++] = kTelnetIac;
  }
  out[length++] = kTelnetIac;
  out[length++] = kTelnetSe;
  return length;
}

std::array<uint8_t, 4> TelnetBaudValue(uint32_t baud) {
  return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
          static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
}

size_t TelnetRequestOptions(TelnetOptions* options, std::span<uint8_t, kOptionRequestsSize> out) {
  size_t length = 0;
  for (uint8_t option : {kOptionBinary, kOptionSuppressGoAhead, kOptionComPort}) {
    options->local[option] = OptionState::kWantYes;
    length += Negotiation(TelnetVerb::kWill, option, std::span(out).subspan(length));
  }
  for (uint8_t option : {kOptionBinary, kOptionSuppressGoAhead}) {
    options->remote[option] = OptionState::kWantYes;
    length += Negotiation(TelnetVerb::kDo, option, std::span(out).subspan(length));
  }
  return length;
}

size_t TelnetAnswerNegotiation(TelnetOptions* options, uint8_t verb, uint8_t option,
                               std::span<uint8_t, kNegotiationSize> out) {
  // WILL and WONT are about what the server does; DO and DONT about what
  // korvel does.
  const OptionSide remote{&options->remote[option], &options->remoteRefused[option],
                          WantedRemotely(option), TelnetVerb::kDo, TelnetVerb::kDont};
  const OptionSide local{&options->local[option], &options->localRefused[option],
                         WantedLocally(option), TelnetVerb::kWill, TelnetVerb::kWont};
  switch (static_cast<TelnetVerb>(verb)) {
    case TelnetVerb::kWill:
      return AnswerSide(remote, true, option, out);
    case TelnetVerb::kWont:
      return AnswerSide(remote, false, option, out);
    case TelnetVerb::kDo:
      return AnswerSide(local, true, option, out);
    case TelnetVerb::kDont:
      return AnswerSide(local, false, option, out);
  }
  return 0;
}

namespace {

// Takes one received octet. Returns true when it completed a command, which
// is then in decoder->event.
bool TakeByte(TelnetDecoder* decoder, uint8_t octet, bool binary, std::span<uint8_t> data,
              size_t* dataLength) {
  TelnetEvent& pending = decoder->event;
  switch (decoder->state) {
    case State::kCarriageReturn:
      decoder->state = State::kData;
      if (octet == kNul) return false;  // CR NUL is a bare CR
      [[fallthrough]];
    case State::kData:
      if (octet == kTelnetIac) {
        decoder->state = State::kCommand;
        return false;
      }
      data[(*dataLength)++] = octet;
      if (octet == kCarriageReturn && !binary) decoder->state = State::kCarriageReturn;
      return false;
    case State::kCommand:
      if (octet == kTelnetIac) {  // IAC IAC: one data octet 0xFF
        data[(*dataLength)++] = octet;
        decoder->state = State::kData;
      } else {
        TakeCommand(decoder, octet);
      }
      return false;
    case State::kOption:
      pending.option = octet;
      decoder->state = State::kData;
      return true;
    case State::kSubOption:
      pending = TelnetEvent{};
      pending.kind = TelnetEvent::Kind::kSubnegotiation;
      pending.option = octet;
      decoder->state = State::kSub;
      return false;
    case State::kSub:
      if (octet == kTelnetIac) {
        decoder->state = State::kSubCommand;
      } else {
        AddToSubnegotiation(&pending, octet);
      }
      return false;
    case State::kSubCommand:
      if (octet == kTelnetIac) {
        AddToSubnegotiation(&pending, octet);
        decoder->state = State::kSub;
        return false;
      }
      if (octet == kTelnetSe) {
        decoder->state = State::kData;
        return true;
      }
      // Not a subnegotiation a server may send: it is dropped, and the octet
      // is read as the command it is.
      TakeCommand(decoder, octet);
      return false;
  }
  return false;
}

}  // namespace

size_t TelnetDecode(TelnetDecoder* decoder, std::span<const uint8_t> input, bool binary,
                    std::span<uint8_t> data, size_t* dataLength, TelnetEvent* event) {
  event->kind = TelnetEvent::Kind::kNone;
  size_t used = 0;
  while (used < input.size() && *dataLength < data.size()) {
    if (TakeByte(decoder, input[used++], binary, data, dataLength)) {
      *event = decoder->event;
      return used;
    }
  }
  return used;
}
