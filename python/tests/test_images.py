"""Images and spectra across a real link, received into numpy arrays shaped
from their headers; plain and converting links, both directions."""

import numpy as np
import pytest

import tarvex

FRAME_FIELDS = dict(frame=41, event=82, x_start=3, y_start=4, ebitpp=12, scale_x=0.5, scale_y=0.25,
                    image_rotation=90.0, image_flags=0x11, source_format=2, image_format=5)

# (pixels, expected shape, expected dtype)
IMAGES = [
    (np.arange(6 * 8, dtype=np.uint16).reshape(6, 8) * 1021, (6, 8), np.uint16),
    (np.arange(5 * 7, dtype=np.uint8).reshape(5, 7), (5, 7), np.uint8),
    (np.arange(3 * 4, dtype=np.uint32).reshape(3, 4) * 0x01020304, (3, 4), np.uint32),
    (np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3), (2, 3, 3), np.uint8),  # 24-bit colour
]


@pytest.mark.parametrize("direction", ["to_acceptor", "to_connector"])
@pytest.mark.parametrize("pixels,shape,dtype", IMAGES, ids=["u16", "u8", "u32", "rgb"])
def test_images_arrive_shaped(any_pair, direction, pixels, shape, dtype):
    accepting, connecting = any_pair
    sender, receiver = (connecting, accepting) if direction == "to_acceptor" else (accepting, connecting)
    sender.send_image(pixels, **FRAME_FIELDS)
    image = receiver.receive_image(timeout=10)
    assert image.pixels.shape == shape and image.pixels.dtype == dtype
    assert np.array_equal(image.pixels, pixels)
    assert image.length == 108 + pixels.nbytes and image.frame_length == pixels.nbytes
    assert (image.height, image.width, image.aoi_height, image.aoi_width) == (shape[0], shape[1], shape[0], shape[1])
    for name, value in FRAME_FIELDS.items():
        assert getattr(image, name) == value, name
    assert not hasattr(image, "pattern")
    assert image.pixels.flags.writeable  # the image owns its pixels


def test_image_shape_follows_the_area_of_interest(pair):
    accepting, connecting = pair
    pixels = np.arange(20, dtype=np.uint16)
    connecting.send_image(pixels, width=100, height=100, aoi_width=5, aoi_height=4, bpp=16)
    image = accepting.receive_image(timeout=10)
    assert image.pixels.shape == (4, 5) and np.array_equal(image.pixels.ravel(), pixels)


def test_image_bytes_that_fit_no_shape_come_flat(pair):
    accepting, connecting = pair
    connecting.send_image(np.arange(10, dtype=np.uint16), width=4, height=4, bpp=16)
    image = accepting.receive_image(timeout=10)
    assert image.pixels.shape == (10,) and image.pixels.dtype == np.uint16
    connecting.send_image(b"12345", width=4, height=4, bpp=16)
    image = accepting.receive_image(timeout=10)
    assert image.pixels.shape == (5,) and image.pixels.dtype == np.uint8 and bytes(image.pixels) == b"12345"


def test_image_sent_through_the_plain_gather_list(pair):
    accepting, connecting = pair
    pixels = np.arange(12, dtype=np.uint16).reshape(3, 4)
    intro = tarvex.image_intro(pixels.nbytes, generation="2024", width=4, height=3, bpp=16, frame=7)
    connecting.send(intro[:8], intro[8:], pixels)
    image = accepting.receive_image(timeout=10)
    assert image.frame == 7 and np.array_equal(image.pixels, pixels)


SPECTRA = [
    (np.linspace(-1, 1, 9, dtype=np.float32), None, np.float32),
    (np.linspace(0, 5, 4, dtype=np.float64), None, np.float64),
    (np.arange(7, dtype=np.uint16), None, np.uint16),
    (np.arange(6, dtype=np.int32), np.int32, np.int32),
]


@pytest.mark.parametrize("direction", ["to_acceptor", "to_connector"])
@pytest.mark.parametrize("data,dtype,expected", SPECTRA, ids=["f32", "f64", "u16", "i32"])
def test_spectra_arrive_as_arrays(any_pair, direction, data, dtype, expected):
    accepting, connecting = any_pair
    sender, receiver = (connecting, accepting) if direction == "to_acceptor" else (accepting, connecting)
    sender.send_spectrum(data, start=-2.0, inc=0.5, sec=100, usec=200, event_nm=9, error=-3, i=4)
    spectrum = receiver.receive_spectrum(dtype=dtype, timeout=10)
    assert spectrum.data.dtype == expected and np.array_equal(spectrum.data, data)
    assert spectrum.bnum == spectrum.bnum_req == len(data)
    assert (spectrum.start, spectrum.inc, spectrum.sec, spectrum.usec) == (-2.0, 0.5, 100, 200)
    assert (spectrum.event_nm, spectrum.error, spectrum.i) == (9, -3, 4)
    assert np.allclose(spectrum.axis, -2.0 + 0.5 * np.arange(len(data)))
    assert spectrum.length == 56 + data.nbytes


def test_spectrum_data_type_must_be_plain(pair):
    accepting, connecting = pair
    with pytest.raises(TypeError, match="plain number type"):
        accepting.receive_spectrum(dtype=object, timeout=0)
    connecting.send_spectrum(b"abc", bnum=2)
    spectrum = accepting.receive_spectrum(timeout=10)
    assert spectrum.data.dtype == np.uint8 and bytes(spectrum.data) == b"abc"


def test_kept_pixels_and_data_stay_as_they_were(pair):
    accepting, connecting = pair
    images = [np.full((4, 4), i, np.uint16) for i in range(3)]
    spectra = [np.full(5, i, np.float32) for i in range(3)]
    for image, spectrum in zip(images, spectra):
        connecting.send_image(image)
        connecting.send_spectrum(spectrum)
    kept = [(accepting.receive_image(timeout=10).pixels, accepting.receive_spectrum(timeout=10).data)
            for _ in range(3)]
    for (pixels, data), image, spectrum in zip(kept, images, spectra):
        assert np.array_equal(pixels, image) and np.array_equal(data, spectrum)
