// Turns the adapter's answers, as the agent posted them to the server, into plain units.
// Answers arrive without carriage returns or echo, e.g. "SEARCHING...41 0C 0F 50 " or
// "014 0: 49 02 01 31 53 49 1: ...".

export const READINGS = [
  { name: 'battery_voltage', label: 'Battery voltage' },
  { name: 'engine_speed', label: 'Engine speed' },
  { name: 'vehicle_speed', label: 'Vehicle speed' },
  { name: 'coolant_temperature', label: 'Coolant temperature' },
  { name: 'vin', label: 'Vehicle identification number (VIN)' },
];

const PIDS = { engine_speed: 0x0c, vehicle_speed: 0x0d, coolant_temperature: 0x05 };
function bytesOf(text) {
  return text
    .split(/\s+/)
    .filter((token) => /^[0-9A-F]{2}$/i.test(token))
    .map((token) => parseInt(token, 16));
}

// The data bytes of an answer, in order. With headers on (ATH1), each frame starts with the
// sender (7E8 to 7EF) and a protocol control byte or two, which are left out; without, the
// frame numbers of a multi-frame answer ("1:") and the byte count before them are.
function hexBytes(answer) {
  const text = answer.replace(/SEARCHING\.\.\./g, ' ');
  const frames = text.split(/\b7E[89A-F]\b/i);
  if (frames.length > 1) {
    return frames.slice(1).flatMap((frame) => {
      const bytes = bytesOf(frame);
      return bytes[0] >> 4 === 1 ? bytes.slice(2) : bytes.slice(1);  // first frame: PCI + length
    });
  }
  return bytesOf(text.replace(/\b[0-9A-F]:/gi, ' '));
}

// The data bytes after the reply header 41 <pid>, or null when it is not in the answer.
function pidData(answer, pid) {
  const bytes = hexBytes(answer);
  for (let i = 0; i + 1 < bytes.length; ++i) {
    if (bytes[i] === 0x41 && bytes[i + 1] === pid) return bytes.slice(i + 2);
  }
  return null;
}

function vin(answer) {
  const bytes = hexBytes(answer);
  for (let i = 0; i + 2 < bytes.length; ++i) {
    // 49 02, then the number of data items, then the 17 characters.
    if (bytes[i] === 0x49 && bytes[i + 1] === 0x02) {
      const chars = bytes.slice(i + 3, i + 3 + 17);
      if (chars.length === 17 && chars.every((c) => c >= 0x20 && c < 0x7f)) {
        return String.fromCharCode(...chars);
      }
    }
  }
  return null;
}

// { value, text } for an answer, or { value: null, text: <why> } when it holds no reading.
export function decodeReading(name, answer) {
  if (typeof answer !== 'string' || answer.trim() === '') {
    return { value: null, text: 'no answer from the adapter' };
  }
  const clean = answer.replace(/\s+/g, ' ').trim();
  const unusable = { value: null, text: `no reading (adapter answered "${clean}")` };
  if (name === 'battery_voltage') {
    const match = /^(\d{1,2}(?:\.\d{1,2})?)\s*V$/i.exec(clean);
    return match ? { value: Number(match[1]), text: `${match[1]} V` } : unusable;
  }
  if (name === 'vin') {
    const text = vin(answer);
    return text ? { value: text, text } : unusable;
  }
  const pid = PIDS[name];
  if (pid === undefined) return { value: null, text: `unknown reading ${name}` };
  const data = pidData(answer, pid);
  if (name === 'engine_speed' && data && data.length >= 2) {
    const rpm = (data[0] * 256 + data[1]) / 4;
    return { value: rpm, text: `${rpm} rpm` };
  }
  if (name === 'vehicle_speed' && data && data.length >= 1) {
    return { value: data[0], text: `${data[0]} km/h` };
  }
  if (name === 'coolant_temperature' && data && data.length >= 1) {
    return { value: data[0] - 40, text: `${data[0] - 40} °C` };
  }
  return unusable;
}
