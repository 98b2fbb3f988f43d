// Reads "topic<TAB>payload as hex" lines on stdin and prints each payload as
// the Eclipse Tahu package's schema decodes it, one line a message, in the
// form the gateway's Sparkplug test writes from its own decoding:
//   topic seq=N [name,alias,datatype,value]...
// A metric with properties adds ",{key:Type=value,...}" as the package's
// own decoder reads them, or "{N keys,M values}" when the two arrays
// differ in length.
'use strict';
const proto = require('sparkplug-payload/lib/sparkplugPayloadProto.js');
const Payload = proto.org.eclipse.tahu.protobuf.Payload;
const {decodePayload} = require('sparkplug-payload/lib/sparkplugbpayload.js');

const field = (object, key) =>
  object[key] === undefined || object[key] === null ? '' : String(object[key]);

function valueOf(metric) {
  if (metric.isNull) return 'null';
  for (const key of ['stringValue', 'doubleValue', 'longValue', 'intValue',
                     'booleanValue']) {
    if (metric[key] !== undefined && metric[key] !== null)
      return String(metric[key]);
  }
  return 'none';
}

let input = '';
process.stdin.on('data', (chunk) => { input += chunk; });
process.stdin.on('end', () => {
  for (const line of input.split('\n')) {
    if (line === '') continue;
    const [topic, hex] = line.split('\t');
    const bytes = Buffer.from(hex, 'hex');
    const payload = Payload.toObject(Payload.decode(bytes), {longs: String});
    const decoded = decodePayload(bytes).metrics || [];
    let text = topic + ' seq=' + (payload.seq === undefined ? '-' : payload.seq);
    (payload.metrics || []).forEach((metric, i) => {
      text += ' [' + field(metric, 'name') + ',' + field(metric, 'alias') +
              ',' + field(metric, 'datatype') + ',' + valueOf(metric);
      const set = metric.properties;
      if (set) {
        const keys = (set.keys || []).length;
        const values = (set.values || []).length;
        if (keys !== values) {
          text += ',{' + keys + ' keys,' + values + ' values}';
        } else {
          const properties = decoded[i].properties || {};
          text += ',{' + Object.keys(properties).map((key) =>
            key + ':' + properties[key].type + '=' + properties[key].value)
            .join(',') + '}';
        }
      }
      text += ']';
    });
    console.log(text);
  }
});
